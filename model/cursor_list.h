// CursorList: a doubly linked list of item pointers addressed by 1-based position, with a
// remembered cursor node where position lookups start. Appends and lookups never move the
// cursor; only removeCurrent does. The list never owns its items.
#pragma once

#include <cstdint>

template <class T>
class CursorList {
 public:
  struct Node {
    Node* next = nullptr;  // toward higher positions
    Node* prev = nullptr;  // toward lower positions
    T* item = nullptr;
  };

  CursorList() = default;
  CursorList(const CursorList&) = delete;
  CursorList& operator=(const CursorList&) = delete;

  // Empties the list node by node; the items are left alone.
  ~CursorList() {
    cursor_ = first_;
    if (cursor_ != nullptr) {
      while (removeCurrent() != nullptr) {
      }
    }
  }

  // Links a new node for `item` after the last one and returns it.
  Node* append(T* item) {
    Node* node = new Node;
    node->item = item;
    if (cursor_ == nullptr && count_ <= 0) {
      first_ = last_ = cursor_ = node;
      cursorIndex_ = 1;
      count_ = 1;
    } else {
      node->prev = last_;
      last_->next = node;
      ++count_;
      last_ = node;
    }
    return node;
  }

  // The node at 1-based `position`, walking from the cursor; null for position < 1 or
  // position > count(). The cursor stays where it is.
  Node* at(int32_t position) const {
    if (position < 1 || position > count_) return nullptr;
    Node* node = cursor_;
    for (int32_t i = position; i < cursorIndex_; ++i) node = node->prev;
    for (int32_t i = cursorIndex_; i < position; ++i) node = node->next;
    return node;
  }

  // Unlinks and releases the cursor node (never its item) and returns the new cursor: the next
  // node when the first was removed, otherwise the previous one; null once the list is empty.
  Node* removeCurrent() {
    if (count_ <= 0 || first_ == nullptr) return nullptr;
    Node* old = cursor_;
    if (old == first_) {
      first_ = old->next;
      cursor_ = first_;
      if (first_ != nullptr) first_->prev = nullptr;
      if (first_ == nullptr) last_ = nullptr;
    } else if (old == last_) {
      last_ = old->prev;
      cursor_ = last_;
      last_->next = nullptr;
      --cursorIndex_;
    } else {
      old->next->prev = old->prev;
      old->prev->next = old->next;
      cursor_ = old->prev;
      --cursorIndex_;
    }
    --count_;
    delete old;
    return cursor_;
  }

  int32_t count() const { return count_; }
  int32_t cursorIndex() const { return cursorIndex_; }
  Node* first() const { return first_; }
  Node* last() const { return last_; }
  Node* cursor() const { return cursor_; }

 private:
  Node* first_ = nullptr;
  Node* last_ = nullptr;
  Node* cursor_ = nullptr;
  int32_t cursorIndex_ = 0;
  int32_t count_ = 0;
};
