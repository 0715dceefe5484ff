// Red-black tree with one black sentinel standing for every empty child.
#include "base/memory/tree.h"

#include "base/memory/basecheck.h"
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/memory/typedalloc.h"

namespace {

enum Colour : int { kRed = 0, kBlack = 1 };

struct Node {
  int colour;
  Node* left;
  Node* right;
  Node* parent;
  void* item;
};

int CompareAddresses(void*, const void* a, const void* b) {
  auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}
void NoOp(void*, void*) {}

}  // namespace

struct Tree {
  void* arg;
  Tree_CompareFn compare;
  Tree_AddFn add;
  Tree_DeleteFn del;
  Tree_PrintFn print;
  unsigned mods;
  std::size_t size;
  Node* root;
  bool has_tag;
  char tag[kTypedMemTagSize];
  bool locked;
  Node nil;

  const char* Tag() const { return has_tag ? tag : nullptr; }
};

namespace {

// Marks the tree locked while callbacks run; restores the previous state so
// that lookups from inside a callback leave the outer lock in place.
class LockGuard {
 public:
  explicit LockGuard(Tree* t) : t_(t), was_(t->locked) { t->locked = true; }
  ~LockGuard() { t_->locked = was_; }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Tree* t_;
  bool was_;
};

Node* Minimum(Tree* t, Node* x) {
  while (x->left != &t->nil) x = x->left;
  return x;
}
Node* Maximum(Tree* t, Node* x) {
  while (x->right != &t->nil) x = x->right;
  return x;
}
Node* Successor(Tree* t, Node* x) {
  if (x->right != &t->nil) return Minimum(t, x->right);
  Node* y = x->parent;
  while (y != &t->nil && x == y->right) {
    x = y;
    y = y->parent;
  }
  return y;
}

void RotateLeft(Tree* t, Node* x) {
  Node* y = x->right;
  x->right = y->left;
  if (y->left != &t->nil) y->left->parent = x;
  y->parent = x->parent;
  if (x->parent == &t->nil)
    t->root = y;
  else if (x == x->parent->left)
    x->parent->left = y;
  else
    x->parent->right = y;
  y->left = x;
  x->parent = y;
}

void RotateRight(Tree* t, Node* x) {
  Node* y = x->left;
  x->left = y->right;
  if (y->right != &t->nil) y->right->parent = x;
  y->parent = x->parent;
  if (x->parent == &t->nil)
    t->root = y;
  else if (x == x->parent->right)
    x->parent->right = y;
  else
    x->parent->left = y;
  y->right = x;
  x->parent = y;
}

void InsertFixup(Tree* t, Node* z) {
  while (z->parent->colour == kRed) {
    Node* gp = z->parent->parent;
    if (z->parent == gp->left) {
      Node* uncle = gp->right;
      if (uncle->colour == kRed) {
        z->parent->colour = kBlack;
        uncle->colour = kBlack;
        gp->colour = kRed;
        z = gp;
      } else {
        if (z == z->parent->right) {
          z = z->parent;
          RotateLeft(t, z);
        }
        z->parent->colour = kBlack;
        z->parent->parent->colour = kRed;
        RotateRight(t, z->parent->parent);
      }
    } else {
      Node* uncle = gp->left;
      if (uncle->colour == kRed) {
        z->parent->colour = kBlack;
        uncle->colour = kBlack;
        gp->colour = kRed;
        z = gp;
      } else {
        if (z == z->parent->left) {
          z = z->parent;
          RotateRight(t, z);
        }
        z->parent->colour = kBlack;
        z->parent->parent->colour = kRed;
        RotateLeft(t, z->parent->parent);
      }
    }
  }
  t->root->colour = kBlack;
}

void RemoveFixup(Tree* t, Node* x) {
  while (x != t->root && x->colour == kBlack) {
    if (x == x->parent->left) {
      Node* w = x->parent->right;
      if (w->colour == kRed) {
        w->colour = kBlack;
        x->parent->colour = kRed;
        RotateLeft(t, x->parent);
        w = x->parent->right;
      }
      if (w->left->colour == kBlack && w->right->colour == kBlack) {
        w->colour = kRed;
        x = x->parent;
      } else {
        if (w->right->colour == kBlack) {
          w->left->colour = kBlack;
          w->colour = kRed;
          RotateRight(t, w);
          w = x->parent->right;
        }
        w->colour = x->parent->colour;
        x->parent->colour = kBlack;
        w->right->colour = kBlack;
        RotateLeft(t, x->parent);
        x = t->root;
      }
    } else {
      Node* w = x->parent->left;
      if (w->colour == kRed) {
        w->colour = kBlack;
        x->parent->colour = kRed;
        RotateRight(t, x->parent);
        w = x->parent->left;
      }
      if (w->right->colour == kBlack && w->left->colour == kBlack) {
        w->colour = kRed;
        x = x->parent;
      } else {
        if (w->left->colour == kBlack) {
          w->right->colour = kBlack;
          w->colour = kRed;
          RotateLeft(t, w);
          w = x->parent->left;
        }
        w->colour = x->parent->colour;
        x->parent->colour = kBlack;
        w->left->colour = kBlack;
        RotateRight(t, x->parent);
        x = t->root;
      }
    }
  }
  x->colour = kBlack;
}

Node* Find(Tree* t, const void* key) {
  LockGuard lock(t);
  Node* x = t->root;
  while (x != &t->nil) {
    int c = t->compare(t->arg, key, x->item);
    if (c == 0) return x;
    x = c < 0 ? x->left : x->right;
  }
  return nullptr;
}

int PutNode(Tree* t, void* item, Node* node) {
  if (item == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (t->locked) {
    errno = EBUSY;
    return -1;
  }
  LockGuard lock(t);
  Node* parent = &t->nil;
  Node* x = t->root;
  int c = 0;
  while (x != &t->nil) {
    c = t->compare(t->arg, item, x->item);
    if (c == 0) {
      void* old = x->item;
      x->item = item;
      t->mods++;
      if (node != nullptr) TypedMem_Free(t->Tag(), node);
      t->del(t->arg, old);
      t->add(t->arg, item);
      return 1;
    }
    parent = x;
    x = c < 0 ? x->left : x->right;
  }
  if (node == nullptr) {
    node = static_cast<Node*>(TypedMem_Realloc(t->Tag(), nullptr, sizeof(Node)));
    if (node == nullptr) return -1;
  }
  node->colour = kRed;
  node->left = node->right = &t->nil;
  node->parent = parent;
  node->item = item;
  if (parent == &t->nil)
    t->root = node;
  else if (c < 0)
    parent->left = node;
  else
    parent->right = node;
  InsertFixup(t, node);
  t->size++;
  t->mods++;
  t->add(t->arg, item);
  return 0;
}

void PrintNode(Tree* t, FILE* out, Node* x, int depth, const char* side) {
  fprintf(out, "%*s%s: ", depth * 2, "", side);
  if (x == &t->nil) {
    fputs("NIL\n", out);
    return;
  }
  if (t->print != nullptr) {
    char text[256];
    text[0] = '\0';
    t->print(t->arg, x->item, text, sizeof text);
    text[sizeof text - 1] = '\0';
    fputs(text, out);
  } else {
    fprintf(out, "%p", x->item);
  }
  fprintf(out, " %s\n", x->colour == kRed ? "RED" : "BLACK");
  PrintNode(t, out, x->left, depth + 1, "LEFT");
  PrintNode(t, out, x->right, depth + 1, "RIGHT");
}

}  // namespace

Tree* Tree_Create(void* arg, const char* tag, Tree_CompareFn compare, Tree_AddFn add, Tree_DeleteFn del,
                  Tree_PrintFn print) {
  Tree* t = static_cast<Tree*>(TypedMem_Calloc(tag, 1, sizeof(Tree)));
  if (t == nullptr) return nullptr;
  t->arg = arg;
  t->compare = compare != nullptr ? compare : CompareAddresses;
  t->add = add != nullptr ? add : NoOp;
  t->del = del != nullptr ? del : NoOp;
  t->print = print;
  if (tag != nullptr) {
    t->has_tag = true;
    strncpy(t->tag, tag, sizeof t->tag - 1);
  }
  t->nil.colour = kBlack;
  t->nil.left = t->nil.right = t->nil.parent = &t->nil;
  t->root = &t->nil;
  return t;
}

void Tree_Destroy(Tree** tree) {
  if (tree == nullptr || *tree == nullptr) return;
  Tree* t = *tree;
  BASE_ASSERT(!t->locked, "!g->locked");
  t->locked = true;
  // Post-order without recursion: detach each leaf from its parent.
  Node* x = t->root;
  while (x != &t->nil) {
    if (x->left != &t->nil) {
      x = x->left;
    } else if (x->right != &t->nil) {
      x = x->right;
    } else {
      Node* parent = x->parent;
      if (parent != &t->nil) {
        if (parent->left == x)
          parent->left = &t->nil;
        else
          parent->right = &t->nil;
      }
      t->del(t->arg, x->item);
      TypedMem_Free(t->Tag(), x);
      x = parent;
    }
  }
  char tag[kTypedMemTagSize];
  memcpy(tag, t->tag, sizeof tag);
  bool has_tag = t->has_tag;
  TypedMem_Free(has_tag ? tag : nullptr, t);
  *tree = nullptr;
}

int Tree_Put(Tree* tree, void* item) { return PutNode(tree, item, nullptr); }

int Tree_PutWithNode(Tree* tree, void* item, void* node) {
  if (node == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return PutNode(tree, item, static_cast<Node*>(node));
}

int Tree_Remove(Tree* tree, const void* key) {
  Tree* t = tree;
  if (t->locked) {
    errno = EBUSY;
    return -1;
  }
  Node* z = Find(t, key);
  if (z == nullptr) return 0;
  LockGuard lock(t);
  // A node with two children takes its successor's item; the successor,
  // which has at most one child, is the node unlinked.
  Node* y = (z->left == &t->nil || z->right == &t->nil) ? z : Successor(t, z);
  Node* x = y->left != &t->nil ? y->left : y->right;
  x->parent = y->parent;
  if (y->parent == &t->nil)
    t->root = x;
  else if (y == y->parent->left)
    y->parent->left = x;
  else
    y->parent->right = x;
  void* removed = z->item;
  if (y != z) z->item = y->item;
  if (y->colour == kBlack) RemoveFixup(t, x);
  t->nil.parent = &t->nil;
  TypedMem_Free(t->Tag(), y);
  t->size--;
  t->mods++;
  t->del(t->arg, removed);
  return 1;
}

void* Tree_Get(Tree* tree, const void* key) {
  Node* x = Find(tree, key);
  return x != nullptr ? x->item : nullptr;
}

void* Tree_First(Tree* tree) { return tree->root == &tree->nil ? nullptr : Minimum(tree, tree->root)->item; }

void* Tree_Last(Tree* tree) { return tree->root == &tree->nil ? nullptr : Maximum(tree, tree->root)->item; }

void* Tree_Next(Tree* tree, const void* key) {
  LockGuard lock(tree);
  Node* best = nullptr;
  for (Node* x = tree->root; x != &tree->nil;) {
    if (tree->compare(tree->arg, key, x->item) < 0) {
      best = x;
      x = x->left;
    } else {
      x = x->right;
    }
  }
  return best != nullptr ? best->item : nullptr;
}

void* Tree_Prev(Tree* tree, const void* key) {
  LockGuard lock(tree);
  Node* best = nullptr;
  for (Node* x = tree->root; x != &tree->nil;) {
    if (tree->compare(tree->arg, key, x->item) > 0) {
      best = x;
      x = x->right;
    } else {
      x = x->left;
    }
  }
  return best != nullptr ? best->item : nullptr;
}

std::size_t Tree_Size(const Tree* tree) { return tree->size; }
std::size_t Tree_NodeSize() { return sizeof(Node); }
void* Tree_GetArg(const Tree* tree) { return tree->arg; }

int Tree_ToArray(Tree* tree, const char* tag, void*** out) {
  *out = nullptr;
  if (tree->size == 0) return 0;
  if (tree->size > static_cast<std::size_t>(INT32_MAX)) {
    errno = EOVERFLOW;
    return -1;
  }
  auto** items = static_cast<void**>(TypedMem_Realloc(tag, nullptr, tree->size * sizeof(void*)));
  if (items == nullptr) return -1;
  std::size_t i = 0;
  for (Node* x = Minimum(tree, tree->root); x != &tree->nil; x = Successor(tree, x)) items[i++] = x->item;
  BASE_ASSERT(i == tree->size, "i == g->size");
  *out = items;
  return static_cast<int>(i);
}

int Tree_Walk(Tree* tree, Tree_WalkFn fn, void* ctx) {
  if (tree->locked) {
    errno = EBUSY;
    return -1;
  }
  if (tree->root == &tree->nil) return 0;
  LockGuard lock(tree);
  for (Node* x = Minimum(tree, tree->root); x != &tree->nil; x = Successor(tree, x)) {
    if (fn(ctx, x->item) == -1) return -1;
  }
  return 0;
}

void Tree_Print(Tree* tree, FILE* stream) {
  LockGuard lock(tree);
  PrintNode(tree, stream, tree->root, 0, "ROOT");
}
