// The queue of patch entries. Nodes are allocated and destroyed here; the stored
// values are opaque to the list and never freed by it.
#include "patchlist/entry_list.h"

#include <new>

namespace {

// Links a new node for `value` into `list` after `prev` (null: at the front).
bool LinkAfter(EntryList& list, EntryNode* prev, void* value) {
  EntryNode* node = new (std::nothrow) EntryNode(value);
  if (node == nullptr) return false;
  node->prev = prev;
  node->next = prev != nullptr ? prev->next : list.head;
  (node->next != nullptr ? node->next->prev : list.tail) = node;
  (prev != nullptr ? prev->next : list.head) = node;
  ++list.count;
  return true;
}

}  // namespace

bool EntryList::Append(void* value) { return LinkAfter(*this, tail, value); }

bool EntryList::Prepend(void* value) { return LinkAfter(*this, nullptr, value); }

bool EntryList::InsertAfter(EntryNode* after, void* value) { return LinkAfter(*this, after, value); }

// No comparison function means nothing can match: the list is left as it is.
void* EntryList::RemoveFirstMatch(const void* key) {
  if (matchCallback == nullptr) return nullptr;
  for (EntryNode* node = head; node != nullptr; node = node->next) {
    if (matchCallback(callbackArgument, key, node->value) == 0) return RemoveNode(node);
  }
  return nullptr;
}

void* EntryList::RemoveNode(EntryNode* node) {
  if (node == head) {
    head = node->next;
    if (head != nullptr) {
      head->prev = nullptr;
    } else {
      tail = nullptr;
    }
  } else {
    node->prev->next = node->next;
    if (node->next != nullptr) {
      node->next->prev = node->prev;
    } else {
      tail = node->prev;
    }
  }
  void* value = node->value;
  delete node;
  --count;
  return value;
}

void* EntryList::FindFirstMatch(const void* key) {
  if (matchCallback == nullptr) return nullptr;
  for (EntryNode* node = head; node != nullptr; node = node->next) {
    if (matchCallback(callbackArgument, key, node->value) == 0) return node->value;
  }
  return nullptr;
}
