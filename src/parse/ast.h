#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "diag/diag.h"
#include "support/packed_word.h"
#include "vocab/dtype.h"
#include "vocab/ops.h"

namespace tarvelon::parse {

using diag::Span;

/// A syntax node with the source range it was parsed from.
template <class T>
struct Spanned {
  T value;
  Span span;
};

struct Expr;
template <>
struct Spanned<Expr>;

/// Releases a node made by `make_node`; a node in a `NodeArena` is left to its arena.
struct NodeDelete {
  void operator()(Spanned<Expr>* node) const noexcept;
};

/// An owned child expression; the tree has no sharing.
using ExprBox = std::unique_ptr<Spanned<Expr>, NodeDelete>;

/// The memory of the syntax tree of one parsed kernel: nodes, long names and child lists are
/// carved from a few large blocks and released with the arena, all at once, without visiting a
/// node. Nothing in an arena is ever destroyed, so it holds only what owns nothing outside it.
///
/// Nodes on the heap sit 32 bytes past a 64-byte boundary and nodes in an arena never do, which
/// is how `NodeDelete` and the teardown tell the two apart without reading the node. An
/// allocation that fails throws `std::bad_alloc`.
class NodeArena {
 public:
  NodeArena() noexcept = default;
  NodeArena(NodeArena&& other) noexcept
      : blocks_(std::exchange(other.blocks_, nullptr)),
        at_(std::exchange(other.at_, nullptr)),
        end_(std::exchange(other.end_, nullptr)),
        next_size_(std::exchange(other.next_size_, kFirstBlock)) {
    value_nodes = std::exchange(other.value_nodes, 0);
    bindings = std::exchange(other.bindings, 0);
  }
  NodeArena& operator=(NodeArena&& other) noexcept {
    NodeArena gone(std::move(*this));
    blocks_ = std::exchange(other.blocks_, nullptr);
    at_ = std::exchange(other.at_, nullptr);
    end_ = std::exchange(other.end_, nullptr);
    next_size_ = std::exchange(other.next_size_, kFirstBlock);
    value_nodes = std::exchange(other.value_nodes, 0);
    bindings = std::exchange(other.bindings, 0);
    return *this;
  }
  ~NodeArena();

  /// `bytes` bytes at an address that is `offset` past a multiple of `align` (a power of two).
  /// Inline for the common case, a request that fits the current block.
  void* allocate(std::size_t bytes, std::size_t align, std::size_t offset = 0) {
    if (void* p = place(bytes, align, offset)) return p;
    add_block(bytes, align);
    return checked(place(bytes, align, offset));
  }
  /// Room for a node of `bytes` bytes: aligned to 8 and anywhere but where heap nodes sit.
  void* allocate_node(std::size_t bytes) {
    if (void* p = place_node(bytes)) return p;
    add_block(bytes, 2 * alignof(std::max_align_t));
    return checked(place_node(bytes));
  }

  /// How many of the nodes placed here are of the forms that lower to one node each, that is
  /// all but variables, assignments and tuples. The parser counts them as it places them, so
  /// that lowering can size the program without a walk over the whole tree.
  std::size_t value_nodes = 0;
  /// How many assignments the tree holds, so that lowering can size its scope up front.
  std::size_t bindings = 0;

  /// Whether `node` was placed by an arena.
  static bool holds(const Spanned<Expr>* node) noexcept {
    return (reinterpret_cast<std::uintptr_t>(node) & (kHeapNodeAlign - 1)) != kHeapNodeOffset;
  }
  static constexpr std::size_t kHeapNodeAlign = 64;
  static constexpr std::size_t kHeapNodeOffset = 32;
  static_assert(kHeapNodeOffset % 16 == 0, "placing a node steps off the heap nodes' spot by 8");

 private:
  /// The request carved from the current block, or null when it does not fit there.
  void* place(std::size_t bytes, std::size_t align, std::size_t offset) noexcept {
    if (at_ == nullptr) return nullptr;
    const auto at = reinterpret_cast<std::uintptr_t>(at_);
    const std::uintptr_t start = ((at - offset + align - 1) & ~(align - 1)) + offset;
    const auto end = reinterpret_cast<std::uintptr_t>(end_);
    if (start < at || start > end || bytes > end - start) return nullptr;
    at_ = reinterpret_cast<char*>(start + bytes);
    return reinterpret_cast<void*>(start);
  }
  /// A node's place: the next 8-aligned address, unless heap nodes take it; that one is on a
  /// 16-byte boundary, so the next 8-aligned address off such a boundary is 8 past it.
  void* place_node(std::size_t bytes) noexcept {
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(at_) + 7) & ~std::uintptr_t{7};
    if ((start & (kHeapNodeAlign - 1)) == kHeapNodeOffset) return place(bytes, 16, 8);
    return place(bytes, 8, 0);
  }
  /// Starts a new block with room for `bytes` bytes at any alignment up to `align`.
  void add_block(std::size_t bytes, std::size_t align);
  static void* checked(void* placed) {
    if (placed == nullptr) throw std::bad_alloc();  // only if a size had wrapped around
    return placed;
  }
  /// Large enough for a small kernel's whole tree, small enough to cost nothing to get.
  static constexpr std::size_t kFirstBlock = 4096;
  /// Blocks double in size up to this, so a big tree wastes at most this much at its end.
  static constexpr std::size_t kLargestBlock = std::size_t{2} << 20;
  struct Block {
    Block* previous;
  };
  Block* blocks_ = nullptr;
  char* at_ = nullptr;
  char* end_ = nullptr;
  std::size_t next_size_ = kFirstBlock;
};

/// An identifier's text, owned, in one word. Names of up to 7 bytes are stored in the word
/// itself, so that a node carrying a name stays small and a typical name costs nothing more; a
/// longer name is a counted text elsewhere, in an arena or on the heap.
class Name {
 public:
  Name() noexcept = default;
  /// Copies `text`; a name longer than the inline room is allocated.
  explicit Name(std::string_view text) {
    if (text.size() <= kInline) {
      word_ = inline_word(text);
    } else {
      store_long(text, ::operator new(long_text_bytes(text)), 0);
    }
  }
  /// Copies `text`; a name longer than the inline room goes into `arena`.
  Name(std::string_view text, NodeArena& arena) {
    if (text.size() <= kInline) {
      word_ = inline_word(text);
    } else {
      store_long(text, arena.allocate(long_text_bytes(text), alignof(std::uint64_t)), kInArenaBit);
    }
  }
  Name(const Name& other) : Name(other.view()) {}
  Name(Name&& other) noexcept;
  Name& operator=(Name other) noexcept;
  ~Name();

  std::string_view view() const noexcept {
    if (word_ & kInlineBit) {
      const auto size = static_cast<std::size_t>(word_ & 0xFF) / 2;
      return {reinterpret_cast<const char*>(&word_) + 1, size};
    }
    const auto* text = reinterpret_cast<const LongText*>(word_ & ~kInArenaBit);
    return {text->bytes(), text->size};
  }
  operator std::string_view() const noexcept { return view(); }
  std::string str() const { return std::string(view()); }

  friend bool operator==(const Name& a, const Name& b) noexcept { return a.view() == b.view(); }
  friend bool operator==(const Name& a, std::string_view b) noexcept { return a.view() == b; }

 private:
  /// The head of a name too long for the word: its length, which its bytes follow.
  struct LongText {
    std::uint32_t size;
    const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  };
  static constexpr std::size_t kInline = support::kShortWordMax;
  static constexpr std::uint64_t kInlineBit = 1;
  static constexpr std::uint64_t kInArenaBit = 2;
  /// The inline form of `text`, which is at most kInline bytes.
  static std::uint64_t inline_word(std::string_view text) noexcept {
    return support::pack_short_word(text);
  }
  /// Copies `text` into `at`, room for a LongText of its length, and points at it.
  void store_long(std::string_view text, void* at, std::uint64_t owner) noexcept;
  static std::size_t long_text_bytes(std::string_view text);

  /// Inline, the low byte is 2 * size + 1 and the text follows in the next bytes of the word
  /// (in memory order, the machine being little-endian). Otherwise the word is the address of a
  /// LongText, aligned to 8, with kInArenaBit set when an arena owns the text and clear when
  /// the name does.
  std::uint64_t word_ = kInlineBit;
};
static_assert(std::endian::native == std::endian::little,
              "a short name's text lies in the bytes after the word's low byte");

/// A fixed-length list of owned child expressions: the arguments of a call, the elements of a
/// tuple. Exactly as long as its contents, so a long list carries no spare capacity.
class BoxList {
 public:
  BoxList() noexcept = default;
  /// Out of line: both may drop boxes (the old ones, or the new ones should a later member
  /// fail), which needs the complete node type, and libc++ checks that where the body stands.
  BoxList(BoxList&& other) noexcept;
  BoxList& operator=(BoxList&& other) noexcept;
  /// Takes the non-null boxes in order.
  explicit BoxList(std::vector<ExprBox> items);
  /// Takes the boxes of [first, last); defined below, where the node type is complete.
  template <class It>
  BoxList(It first, It last);
  /// Takes the boxes of [first, last) into a list kept in `arena`.
  template <class It>
  BoxList(It first, It last, NodeArena& arena);
  ~BoxList();

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const Spanned<Expr>& operator[](std::size_t i) const noexcept { return *items_[i]; }
  Spanned<Expr>& operator[](std::size_t i) noexcept { return *items_[i]; }

  /// Iterates over the expressions themselves.
  template <class Box, class Ref>
  struct Iter {
    Box* at;
    Ref operator*() const noexcept { return **at; }
    Iter& operator++() noexcept {
      ++at;
      return *this;
    }
    friend bool operator==(Iter, Iter) noexcept = default;
  };
  Iter<const ExprBox, const Spanned<Expr>&> begin() const noexcept { return {items_}; }
  Iter<const ExprBox, const Spanned<Expr>&> end() const noexcept { return {items_ + size_}; }

 private:
  friend struct Teardown;
  /// Checks that a list of `n` boxes can be counted; throws `std::bad_alloc` if not.
  static std::uint32_t checked_size(std::size_t n);
  ExprBox* items_ = nullptr;
  std::uint32_t size_ = 0;
  bool owned_ = false;  ///< the array was allocated with new[] (else it lies in an arena)
};

namespace expr {
struct BoolLit {
  bool value;
};
struct IntLit {
  std::int64_t value;
  std::optional<vocab::DType> dtype;  ///< the `@dtype` written directly on the literal
};
struct FloatLit {
  double value;
  std::optional<vocab::DType> dtype;
};
struct ComplexLit {
  double re;
  double im;
  std::optional<vocab::DType> dtype;
};
struct ConstE {};
struct ConstPi {};
struct Var {
  Name name;
};
struct Unary {
  vocab::UnaryOp op;
  ExprBox operand;
};
struct Binary {
  vocab::BinaryOp op;
  ExprBox lhs;
  ExprBox rhs;
};
struct If {
  ExprBox cond;
  ExprBox then_branch;
  ExprBox else_branch;
};
struct Call {
  Name name;
  BoxList args;
};
struct Cast {
  vocab::DType dtype;
  ExprBox operand;
};
struct Tuple {
  BoxList elements;  ///< two or more
};
/// `name = value` followed by the rest of the kernel, in which `name` is bound.
struct Let {
  Name name;
  ExprBox value;
  ExprBox body;
};
}  // namespace expr

/// The fourteen expression forms, in their fixed order.
struct Expr : std::variant<expr::BoolLit, expr::IntLit, expr::FloatLit, expr::ComplexLit,
                           expr::ConstE, expr::ConstPi, expr::Var, expr::Unary, expr::Binary,
                           expr::If, expr::Call, expr::Cast, expr::Tuple, expr::Let> {
  using variant::variant;
};

/// The source range of an expression node, in 32-bit offsets: a tree holds a node for about
/// every two bytes of source, so the width of its offsets is a fifth of its memory. The parser
/// refuses a source of 4 GiB or more as too large to hold, so every offset fits.
struct NodeSpan {
  std::uint32_t start = 0;
  std::uint32_t end = 0;

  NodeSpan() noexcept = default;
  explicit NodeSpan(Span s) noexcept
      : start(static_cast<std::uint32_t>(s.start)), end(static_cast<std::uint32_t>(s.end)) {}
  operator Span() const noexcept { return {start, end}; }
};

/// An expression node with its span. Tearing a tree down takes neither stack nor memory in
/// proportion to its size or depth, and cannot fail.
template <>
struct Spanned<Expr> {
  Expr value;
  NodeSpan span;

  Spanned(Expr v, Span s) : value(std::move(v)), span(s) {}
  /// Builds the node in place from one of the fourteen forms.
  template <class Form>
  requires std::is_constructible_v<Expr, Form&&> &&
      (!std::is_same_v<std::decay_t<Form>, Expr>)Spanned(Form&& form, Span s)
      : value(std::forward<Form>(form)), span(s) {}
  Spanned(Spanned&&) noexcept = default;
  Spanned& operator=(Spanned&&) noexcept = default;
  ~Spanned();
};

// A tree holds about a node for every two bytes of source, so each byte of a node counts.
static_assert(sizeof(Spanned<Expr>) <= 40, "a syntax node is five words");

using SpannedExpr = Spanned<Expr>;

template <class It>
BoxList::BoxList(It first, It last)
    : items_(new ExprBox[checked_size(static_cast<std::size_t>(last - first))]), owned_(true) {
  for (; first != last; ++first) items_[size_++] = std::move(*first);
}

template <class It>
BoxList::BoxList(It first, It last, NodeArena& arena) {
  const std::uint32_t n = checked_size(static_cast<std::size_t>(last - first));
  items_ = static_cast<ExprBox*>(arena.allocate(n * sizeof(ExprBox), alignof(ExprBox)));
  for (; first != last; ++first) new (items_ + size_++) ExprBox(std::move(*first));
}

/// Calls `visit(child)` for each child expression of `e`, in source order.
template <class F>
void for_each_child(const Expr& e, F&& visit) {
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, expr::Unary> || std::is_same_v<T, expr::Cast>) {
          visit(*x.operand);
        } else if constexpr (std::is_same_v<T, expr::Binary>) {
          visit(*x.lhs);
          visit(*x.rhs);
        } else if constexpr (std::is_same_v<T, expr::If>) {
          visit(*x.cond);
          visit(*x.then_branch);
          visit(*x.else_branch);
        } else if constexpr (std::is_same_v<T, expr::Let>) {
          visit(*x.value);
          visit(*x.body);
        } else if constexpr (std::is_same_v<T, expr::Call>) {
          for (const Spanned<Expr>& a : x.args) visit(a);
        } else if constexpr (std::is_same_v<T, expr::Tuple>) {
          for (const Spanned<Expr>& a : x.elements) visit(a);
        }
      },
      static_cast<const Expr::variant&>(e));
}

/// Calls `visit(node)` for every node of the tree under `root`, `root` included, in some order;
/// the walk keeps an explicit stack, so the depth of the tree does not matter.
template <class F>
void for_each_node(const Spanned<Expr>& root, F&& visit) {
  std::vector<const Spanned<Expr>*> pending{&root};
  while (!pending.empty()) {
    const Spanned<Expr>* node = pending.back();
    pending.pop_back();
    visit(*node);
    for_each_child(node->value, [&](const Spanned<Expr>& c) { pending.push_back(&c); });
  }
}

/// A node on the heap, owned by the box.
template <class... Args>
ExprBox make_node(Args&&... args) {
  constexpr auto kAlign = std::align_val_t{NodeArena::kHeapNodeAlign};
  void* block = ::operator new(NodeArena::kHeapNodeOffset + sizeof(SpannedExpr), kAlign);
  try {
    return ExprBox(new (static_cast<char*>(block) + NodeArena::kHeapNodeOffset)
                       SpannedExpr(std::forward<Args>(args)...));
  } catch (...) {
    ::operator delete(block, kAlign);
    throw;
  }
}

/// A node in `arena`; the box never releases it.
template <class... Args>
ExprBox make_node_in(NodeArena& arena, Args&&... args) {
  void* at = arena.allocate_node(sizeof(SpannedExpr));
  return ExprBox(new (at) SpannedExpr(std::forward<Args>(args)...));
}

/// Boxes a node.
inline ExprBox box(SpannedExpr e) { return make_node(std::move(e)); }

struct FuncParam {
  std::string name;
  vocab::DType dtype;
  friend bool operator==(const FuncParam&, const FuncParam&) = default;
};

/// A parsed kernel: its parameters in source order and one body in which the assignments are
/// nested `Let`s, the first assignment outermost.
struct FuncDef {
  std::vector<FuncParam> params;
  SpannedExpr body;
  /// Where the parser put the body's nodes. It goes before `body` does, which is sound because
  /// dropping a tree never reads a node that lies in an arena.
  NodeArena arena{};
};

}  // namespace tarvelon::parse
