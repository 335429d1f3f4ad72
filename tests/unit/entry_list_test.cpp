#include "patchlist/entry_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Walks the list both ways and checks every link against the expected values.
void ExpectValues(const EntryList& list, const std::vector<void*>& expected) {
  ASSERT_EQ(list.count, static_cast<int32_t>(expected.size()));
  if (expected.empty()) {
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    return;
  }
  ASSERT_NE(list.head, nullptr);
  ASSERT_NE(list.tail, nullptr);
  EXPECT_EQ(list.head->prev, nullptr);
  EXPECT_EQ(list.tail->next, nullptr);
  const EntryNode* node = list.head;
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_NE(node, nullptr) << "list ends early at " << i;
    EXPECT_EQ(node->value, expected[i]) << "at " << i;
    if (node->next != nullptr) {
      EXPECT_EQ(node->next->prev, node);
    }
    if (i + 1 == expected.size()) {
      EXPECT_EQ(node, list.tail);
    }
    node = node->next;
  }
  EXPECT_EQ(node, nullptr);
  size_t backwards = 0;
  for (const EntryNode* n = list.tail; n != nullptr; n = n->prev) ++backwards;
  EXPECT_EQ(backwards, expected.size());
}

void Empty(EntryList& list) {
  while (list.head != nullptr) list.RemoveNode(list.head);
}

int CompareInts(void* argument, const void* key, void* value) {
  if (argument != nullptr) ++*static_cast<int*>(argument);
  return *static_cast<const int*>(key) - *static_cast<const int*>(value);
}

TEST(EntryList, StartsEmpty) {
  EntryList list;
  ExpectValues(list, {});
  EXPECT_EQ(list.matchCallback, nullptr);
  EXPECT_EQ(list.callbackArgument, nullptr);
}

TEST(EntryList, AppendAndPrependOnEmptyMakeOneNodeBothEnds) {
  int a = 1;
  EntryList appended;
  ASSERT_TRUE(appended.Append(&a));
  ExpectValues(appended, {&a});
  EXPECT_EQ(appended.head, appended.tail);
  Empty(appended);

  EntryList prepended;
  ASSERT_TRUE(prepended.Prepend(&a));
  ExpectValues(prepended, {&a});
  EXPECT_EQ(prepended.head, prepended.tail);
  Empty(prepended);
}

TEST(EntryList, AppendKeepsOrderPrependReverses) {
  int first = 1, second = 2, third = 3;
  EntryList list;
  list.Append(&first);
  list.Append(&second);
  list.Append(&third);
  ExpectValues(list, {&first, &second, &third});
  int zero = 0;
  EntryNode* oldTail = list.tail;
  list.Prepend(&zero);
  ExpectValues(list, {&zero, &first, &second, &third});
  EXPECT_EQ(list.tail, oldTail);
  Empty(list);
}

TEST(EntryList, InsertAfterMiddleAndTail) {
  int a = 1, b = 2, c = 3, d = 4;
  EntryList list;
  list.Append(&a);
  list.Append(&c);
  ASSERT_TRUE(list.InsertAfter(list.head, &b));
  ExpectValues(list, {&a, &b, &c});
  ASSERT_TRUE(list.InsertAfter(list.tail, &d));
  ExpectValues(list, {&a, &b, &c, &d});
  EXPECT_EQ(list.tail->value, &d);
  Empty(list);
}

TEST(EntryList, RemoveNodeAtEveryPosition) {
  int a = 1, b = 2, c = 3, d = 4;
  EntryList list;
  list.Append(&a);
  EXPECT_EQ(list.RemoveNode(list.head), &a);
  ExpectValues(list, {});

  for (int* v : {&a, &b, &c, &d}) list.Append(v);
  EXPECT_EQ(list.RemoveNode(list.head), &a);  // head: the second becomes head
  ExpectValues(list, {&b, &c, &d});
  EXPECT_EQ(list.head->prev, nullptr);
  EXPECT_EQ(list.RemoveNode(list.head->next), &c);  // middle
  ExpectValues(list, {&b, &d});
  EXPECT_EQ(list.RemoveNode(list.tail), &d);  // tail: the previous becomes tail
  ExpectValues(list, {&b});
  EXPECT_EQ(list.RemoveNode(list.tail), &b);
  ExpectValues(list, {});
}

TEST(EntryList, RemoveFirstMatchTakesOnlyTheFirstInOrder) {
  int one = 1, twoA = 2, twoB = 2, three = 3;
  int calls = 0;
  EntryList list;
  list.matchCallback = CompareInts;
  list.callbackArgument = &calls;
  for (int* v : {&one, &twoA, &twoB, &three}) list.Append(v);

  const int key = 2;
  EXPECT_EQ(list.RemoveFirstMatch(&key), &twoA);
  EXPECT_EQ(calls, 2);  // stopped at the first match, argument handed through
  ExpectValues(list, {&one, &twoB, &three});

  const int missing = 9;
  EXPECT_EQ(list.RemoveFirstMatch(&missing), nullptr);
  ExpectValues(list, {&one, &twoB, &three});

  const int last = 3;
  EXPECT_EQ(list.RemoveFirstMatch(&last), &three);
  ExpectValues(list, {&one, &twoB});
  Empty(list);
}

TEST(EntryList, FindFirstMatchLeavesListUnchanged) {
  int one = 1, twoA = 2, twoB = 2;
  EntryList list;
  list.matchCallback = CompareInts;
  for (int* v : {&one, &twoA, &twoB}) list.Append(v);
  const int key = 2, missing = 7;
  EXPECT_EQ(list.FindFirstMatch(&key), &twoA);
  EXPECT_EQ(list.FindFirstMatch(&missing), nullptr);
  ExpectValues(list, {&one, &twoA, &twoB});
  Empty(list);
}

TEST(EntryList, NullCallbackMatchesNothing) {
  int a = 1;
  EntryList list;
  list.Append(&a);
  EXPECT_EQ(list.FindFirstMatch(&a), nullptr);
  EXPECT_EQ(list.RemoveFirstMatch(&a), nullptr);
  ExpectValues(list, {&a});
  Empty(list);
}

// The destructor leaves nodes and values alone: they stay readable afterwards (the
// address sanitizer would report a use after free otherwise) and the owner frees them.
TEST(EntryList, DestroyingAFilledListFreesNothing) {
  int* values[2] = {new int(5), new int(6)};
  EntryList* list = new EntryList;
  list->Append(values[0]);
  list->Append(values[1]);
  EntryNode* first = list->head;
  EntryNode* second = list->tail;
  delete list;
  EXPECT_EQ(first->value, values[0]);
  EXPECT_EQ(first->next, second);
  EXPECT_EQ(*static_cast<int*>(second->value), 6);
  delete first;
  delete second;
  delete values[0];
  delete values[1];
}

}  // namespace
