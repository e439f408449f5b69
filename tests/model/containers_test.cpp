#include <gtest/gtest.h>

#include "model/cursor_list.h"
#include "model/grow_array.h"

namespace {

TEST(GrowArray, AtReturnsNullOutsideTheStoredRange) {
  GrowArray<int32_t> a;
  EXPECT_EQ(a.at(0), nullptr);
  EXPECT_EQ(a.at(-1), nullptr);
  a.append(7);
  ASSERT_NE(a.at(0), nullptr);
  EXPECT_EQ(*a.at(0), 7);
  EXPECT_EQ(a.at(a.count()), nullptr);
  EXPECT_EQ(a.at(-1), nullptr);
}

TEST(GrowArray, GrowsByOneHundredWhenCountReachesCapacityMinusOne) {
  GrowArray<int64_t> a;
  EXPECT_EQ(a.capacity(), 100);
  for (int64_t i = 0; i < 99; ++i) a.append(i * 3);
  EXPECT_EQ(a.capacity(), 100);  // 99 elements fit before growing
  a.append(99 * 3);              // the 100th append grows first
  EXPECT_EQ(a.capacity(), 200);
  EXPECT_EQ(a.count(), 100);
  for (int64_t i = 0; i < 100; ++i) EXPECT_EQ(*a.at(i), i * 3) << i;
  for (int64_t i = 100; i < 199; ++i) a.append(i);
  EXPECT_EQ(a.capacity(), 200);
  a.append(199);  // count 199 = capacity - 1
  EXPECT_EQ(a.capacity(), 300);
}

TEST(GrowArray, CopiesElementsByValue) {
  struct Tuple {
    float x, y, z;
  };
  GrowArray<Tuple> a;
  Tuple t{1, 2, 3};
  a.append(t);
  t.x = 9;
  EXPECT_EQ(a.at(0)->x, 1);
  EXPECT_EQ(a.at(0)->z, 3);
}

TEST(CursorList, LookupIsOneBasedAndNeverMovesTheCursor) {
  int items[4] = {10, 20, 30, 40};
  CursorList<int> list;
  for (int& i : items) list.append(&i);
  EXPECT_EQ(list.at(0), nullptr);
  EXPECT_EQ(list.at(5), nullptr);
  EXPECT_EQ(*list.at(1)->item, 10);
  EXPECT_EQ(*list.at(4)->item, 40);
  EXPECT_EQ(list.cursorIndex(), 1);
  EXPECT_EQ(list.cursor(), list.first());
}

TEST(CursorList, RemoveCurrentWalksFromTheFirstNode) {
  int items[3] = {1, 2, 3};
  CursorList<int> list;
  for (int& i : items) list.append(&i);
  auto* next = list.removeCurrent();  // removes the first; the second takes position 1
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(*next->item, 2);
  EXPECT_EQ(list.cursorIndex(), 1);
  EXPECT_EQ(list.count(), 2);
  EXPECT_EQ(list.first()->prev, nullptr);
  EXPECT_EQ(*list.at(2)->item, 3);
}

TEST(CursorList, RemovingDownToEmptyKeepsItemsAndLinks) {
  int items[3] = {1, 2, 3};
  CursorList<int> list;
  for (int& i : items) list.append(&i);
  EXPECT_EQ(*list.removeCurrent()->item, 2);
  auto* last = list.removeCurrent();  // the former third node is now first and last
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(list.first(), last);
  EXPECT_EQ(list.last(), last);
  EXPECT_EQ(last->prev, nullptr);
  EXPECT_EQ(list.removeCurrent(), nullptr);
  EXPECT_EQ(list.count(), 0);
  EXPECT_EQ(items[0] + items[1] + items[2], 6);
}

TEST(CursorList, SingleNodeRemovedThenAppendedAgain) {
  int a = 1, b = 2;
  CursorList<int> list;
  list.append(&a);
  EXPECT_EQ(list.removeCurrent(), nullptr);
  EXPECT_EQ(list.count(), 0);
  EXPECT_EQ(list.removeCurrent(), nullptr);  // already empty
  auto* node = list.append(&b);
  EXPECT_EQ(list.first(), node);
  EXPECT_EQ(list.last(), node);
  EXPECT_EQ(list.cursor(), node);
  EXPECT_EQ(list.cursorIndex(), 1);
  EXPECT_EQ(list.count(), 1);
}

TEST(CursorList, DestroyLeavesItemsAlive) {
  auto* items = new int[3]{5, 6, 7};
  {
    CursorList<int> list;
    for (int i = 0; i < 3; ++i) list.append(&items[i]);
  }
  EXPECT_EQ(items[0] + items[1] + items[2], 18);
  delete[] items;
}

}  // namespace
