#include "parse/ast.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace tarvelon::parse {

// ---- Name --------------------------------------------------------------------------------------

std::size_t Name::long_text_bytes(std::string_view text) {
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  return sizeof(LongText) + text.size();
}

void Name::store_long(std::string_view text, void* at, std::uint64_t owner) noexcept {
  auto* long_text = static_cast<LongText*>(at);
  long_text->size = static_cast<std::uint32_t>(text.size());
  std::memcpy(long_text + 1, text.data(), text.size());
  word_ = reinterpret_cast<std::uintptr_t>(long_text) | owner;
}

Name::Name(Name&& other) noexcept : word_(std::exchange(other.word_, kInlineBit)) {}

Name& Name::operator=(Name other) noexcept {
  std::swap(word_, other.word_);
  return *this;
}

Name::~Name() {
  if ((word_ & (kInlineBit | kInArenaBit)) == 0) ::operator delete(reinterpret_cast<void*>(word_));
}

// ---- BoxList -----------------------------------------------------------------------------------

BoxList::BoxList(std::vector<ExprBox> items) : BoxList(items.begin(), items.end()) {}

BoxList::BoxList(BoxList&& other) noexcept
    : items_(std::exchange(other.items_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      owned_(std::exchange(other.owned_, false)) {}

BoxList& BoxList::operator=(BoxList&& other) noexcept {
  BoxList gone(std::move(*this));
  items_ = std::exchange(other.items_, nullptr);
  size_ = std::exchange(other.size_, 0);
  owned_ = std::exchange(other.owned_, false);
  return *this;
}

BoxList::~BoxList() {
  if (owned_) delete[] items_;
}

std::uint32_t BoxList::checked_size(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  return static_cast<std::uint32_t>(n);
}

// ---- NodeArena ---------------------------------------------------------------------------------

NodeArena::~NodeArena() {
  while (blocks_ != nullptr) {
    ::operator delete(std::exchange(blocks_, blocks_->previous));
  }
}

void NodeArena::add_block(std::size_t bytes, std::size_t align) {
  // Room for this request however large, and the header and alignment.
  const std::size_t slack = sizeof(Block) + 2 * align;
  if (bytes > std::numeric_limits<std::size_t>::max() - slack) throw std::bad_alloc();
  const std::size_t size = std::max(next_size_, bytes + slack);
  auto* block = static_cast<Block*>(::operator new(size));
  block->previous = blocks_;
  blocks_ = block;
  at_ = reinterpret_cast<char*>(block + 1);
  end_ = reinterpret_cast<char*>(block) + size;
  next_size_ = std::min(2 * next_size_, kLargestBlock);
}

void NodeDelete::operator()(Spanned<Expr>* node) const noexcept {
  if (NodeArena::holds(node)) return;
  node->~Spanned();
  ::operator delete (reinterpret_cast<char*>(node) - NodeArena::kHeapNodeOffset,
                     std::align_val_t{NodeArena::kHeapNodeAlign});
}

// ---- Teardown ----------------------------------------------------------------------------------

/// Dismantles trees without recursion and without memory of its own: subtrees are re-hung
/// inside the nodes being dismantled (tree rotation), so a chain of any depth or a list of any
/// length goes in constant stack and no allocation, and nothing here can throw.
struct Teardown {
  /// Where a node keeps its children. `rotate` is a non-empty child slot other than `last`;
  /// `last` is the slot dismantling continues with once `rotate` is exhausted (null when the
  /// node has no child slots at all).
  struct Slots {
    ExprBox* rotate = nullptr;
    ExprBox* last = nullptr;
  };

  static ExprBox* if_set(ExprBox& b) noexcept { return b ? &b : nullptr; }

  static Slots list_slots(BoxList& l) noexcept {
    // A list in an arena holds nodes of that arena, which are left to it, and may outlive it.
    if (!l.owned_) return {};
    // Emptied slots at the end are dropped from the count, so each node's slots are scanned in
    // constant time; the array itself is released with the node.
    while (l.size_ > 1 && !l.items_[l.size_ - 1]) --l.size_;
    if (l.size_ == 0) return {};
    return {l.size_ > 1 ? &l.items_[l.size_ - 1] : nullptr, &l.items_[0]};
  }

  static Slots slots_of(Expr& e) noexcept {
    if (auto* u = std::get_if<expr::Unary>(&e)) return {nullptr, &u->operand};
    if (auto* c = std::get_if<expr::Cast>(&e)) return {nullptr, &c->operand};
    if (auto* b = std::get_if<expr::Binary>(&e)) return {if_set(b->lhs), &b->rhs};
    if (auto* i = std::get_if<expr::If>(&e)) {
      ExprBox* first = if_set(i->cond);
      return {first ? first : if_set(i->then_branch), &i->else_branch};
    }
    if (auto* l = std::get_if<expr::Let>(&e)) return {if_set(l->value), &l->body};
    if (auto* c = std::get_if<expr::Call>(&e)) return list_slots(c->args);
    if (auto* t = std::get_if<expr::Tuple>(&e)) return list_slots(t->elements);
    return {};
  }

  /// Destroys the tree under `cur`. A node is only ever destroyed once it holds no children,
  /// so no destructor below this one does more than release the node itself. A subtree in an
  /// arena is let go unread: its nodes are released with the arena, which may be gone already.
  static void dismantle(ExprBox cur) noexcept {
    while (cur) {
      if (NodeArena::holds(cur.get())) return;
      const Slots s = slots_of(cur->value);
      if (s.rotate) {
        ExprBox child = std::move(*s.rotate);
        if (NodeArena::holds(child.get())) continue;
        if (ExprBox* below = slots_of(child->value).last) {
          // Rotate: `cur` hangs below `child` in place of child's last subtree, which takes
          // child's former place in `cur`.
          *s.rotate = std::move(*below);
          *below = std::move(cur);
          cur = std::move(child);
        }
        // Otherwise `child` has no children and is released here.
      } else {
        ExprBox next = s.last ? std::move(*s.last) : nullptr;
        cur = std::move(next);
      }
    }
  }

  static void children_of(Expr& e) noexcept {
    while (true) {
      const Slots s = slots_of(e);
      ExprBox* slot = s.rotate ? s.rotate : s.last;
      if (slot == nullptr || !*slot) return;
      dismantle(std::move(*slot));
    }
  }
};

Spanned<Expr>::~Spanned() { Teardown::children_of(value); }

}  // namespace tarvelon::parse
