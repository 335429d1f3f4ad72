// The queue of patch entries: a doubly linked list of opaque value pointers. The
// list allocates and destroys its nodes; it never frees the values it stores.
#pragma once
#include <cstdint>

class EntryNode {
 public:
  explicit EntryNode(void* stored) : value(stored) {}
  virtual ~EntryNode() {}

  void* value;
  EntryNode* prev = nullptr;
  EntryNode* next = nullptr;
};

class EntryList {
 public:
  // Zero means that the stored value matches the key.
  using MatchCallback = int (*)(void* argument, const void* key, void* value);

  EntryList() {}
  // Frees nothing: the owner empties the list first.
  virtual ~EntryList() {}

  virtual bool Append(void* value);
  virtual bool Prepend(void* value);
  virtual bool InsertAfter(EntryNode* node, void* value);
  virtual void* RemoveFirstMatch(const void* key);
  virtual void* RemoveNode(EntryNode* node);
  virtual void* FindFirstMatch(const void* key);

  EntryNode* head = nullptr;
  EntryNode* tail = nullptr;
  MatchCallback matchCallback = nullptr;
  void* callbackArgument = nullptr;
  int32_t count = 0;

 private:
  EntryList(const EntryList&) = delete;
  EntryList& operator=(const EntryList&) = delete;
};
