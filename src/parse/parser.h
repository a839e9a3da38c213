#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diag.h"
#include "parse/ast.h"

namespace tarvelon::parse {

/// Parses a whole kernel: comment blanking, the `|...|` header, body lines and assignments.
/// Reports the diagnostics of the first failing place only; the list is never empty. A source
/// of 4 GiB or more throws `std::bad_alloc`: its tree could not be held.
std::expected<FuncDef, std::vector<diag::Diag>> parse_dsl_with_errors(std::string_view source);

/// Parses one expression text that starts at byte `offset` of the kernel source; every span in
/// the result (tree or diagnostics) is an offset into the whole source, which must end below
/// 4 GiB (else `std::bad_alloc`).
std::expected<SpannedExpr, std::vector<diag::Diag>> parse_expr_with_offset(std::string_view text,
                                                                           std::size_t offset);

/// Checks a parameter or assignment name.
std::expected<std::string, diag::Diag> parse_ident(std::string_view name, Span span);

}  // namespace tarvelon::parse
