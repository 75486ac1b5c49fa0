// Intrusive singly linked FIFO. An object is in at most one queue at a time; the queue never
// owns or destroys its items (owners decide what happens to popped items).
#pragma once

namespace adt {

template <typename T>
class Queue {
 public:
  class Item {
   public:
    Item() = default;
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;
    T* queueNext() const { return next_; }

   private:
    friend class Queue;
    T* next_ = nullptr;
  };

  Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  bool empty() const { return head_ == nullptr; }
  T* head() const { return head_; }

  void push(T* item) {
    static_cast<Item*>(item)->next_ = nullptr;
    if (tail_) {
      static_cast<Item*>(tail_)->next_ = item;
    } else {
      head_ = item;
    }
    tail_ = item;
  }

  // Takes the head out (its link is cleared); null when empty.
  T* pop() {
    T* item = head_;
    if (!item) return nullptr;
    head_ = static_cast<Item*>(item)->next_;
    if (!head_) tail_ = nullptr;
    static_cast<Item*>(item)->next_ = nullptr;
    return item;
  }

  // Removes `item` wherever it is; false when it is not in this queue.
  bool remove(T* item) {
    T* prev = nullptr;
    for (T* cur = head_; cur; prev = cur, cur = static_cast<Item*>(cur)->next_) {
      if (cur != item) continue;
      T* next = static_cast<Item*>(cur)->next_;
      if (prev) {
        static_cast<Item*>(prev)->next_ = next;
      } else {
        head_ = next;
      }
      if (tail_ == cur) tail_ = prev;
      static_cast<Item*>(cur)->next_ = nullptr;
      return true;
    }
    return false;
  }

 private:
  T* head_ = nullptr;
  T* tail_ = nullptr;
};

}  // namespace adt
