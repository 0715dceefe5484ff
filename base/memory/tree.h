// Red-black tree of caller-owned items, ordered by a compare callback.
//
// The tree stores pointers; the add callback runs when an item goes in, the
// delete callback when it goes out (replaced, removed, or at destroy).
// While any callback (or a Tree_Walk function) runs the tree is locked: a
// put or remove from inside it fails with EBUSY and changes nothing. The
// tree is not guarded against threads; its owner serialises access.
//
// Nodes are allocated under the tree's tag (its name) through typed
// memory; a null tag keeps them on the plain heap (typed memory's own trees).
#pragma once

#include <cstddef>
#include <cstdio>

struct Tree;

// Negative, zero or positive as a orders below, equal to or above b.
typedef int (*Tree_CompareFn)(void* arg, const void* a, const void* b);
typedef void (*Tree_AddFn)(void* arg, void* item);
typedef void (*Tree_DeleteFn)(void* arg, void* item);
// Writes a short description of the item into buf (always terminated).
typedef void (*Tree_PrintFn)(void* arg, const void* item, char* buf, std::size_t size);
// Called on each item in order by Tree_Walk; -1 stops the walk.
typedef int (*Tree_WalkFn)(void* ctx, void* item);

// A null compare orders items by address; null add and delete do nothing.
// Returns null with errno on failure.
Tree* Tree_Create(void* arg, const char* tag, Tree_CompareFn compare, Tree_AddFn add, Tree_DeleteFn del,
                  Tree_PrintFn print);
// Removes every item with the delete callback, frees the tree and nulls
// *tree. Destroying a tree from its own callback is an assertion failure.
void Tree_Destroy(Tree** tree);

// 0 when added, 1 when an equal item was replaced (delete callback on the
// old, add on the new), -1 with EINVAL (null item), EBUSY (locked) or
// ENOMEM.
int Tree_Put(Tree* tree, void* item);
// The same with a node of Tree_NodeSize() bytes supplied by the caller
// (plain heap, or under the tree's tag), so that it cannot fail for lack of
// memory. On the replace path (result 1) the node is freed under the tree's
// tag; on -1 it is left to the caller.
int Tree_PutWithNode(Tree* tree, void* item, void* node);
// 1 when an item equal to key was removed (delete callback runs), 0 when
// absent, -1 with EBUSY while locked.
int Tree_Remove(Tree* tree, const void* key);

// The stored item equal to key, or null.
void* Tree_Get(Tree* tree, const void* key);
void* Tree_First(Tree* tree);
void* Tree_Last(Tree* tree);
// The first stored item ordering above (Next) or below (Prev) key; key
// need not be stored. Null at the end.
void* Tree_Next(Tree* tree, const void* key);
void* Tree_Prev(Tree* tree, const void* key);

std::size_t Tree_Size(const Tree* tree);
std::size_t Tree_NodeSize();
void* Tree_GetArg(const Tree* tree);

// The items in order in a new array allocated under tag (null when the tree
// is empty); returns the count, or -1 with errno.
int Tree_ToArray(Tree* tree, const char* tag, void*** out);
// Calls fn on each item in order until it returns -1. Returns 0 when every
// item was visited, -1 when fn stopped the walk or with EBUSY while locked.
int Tree_Walk(Tree* tree, Tree_WalkFn fn, void* ctx);
// A depth-first listing from "ROOT": two blanks of indent per level, the
// side, then "NIL" or the item's text and its colour.
void Tree_Print(Tree* tree, FILE* stream);
