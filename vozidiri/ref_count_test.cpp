#include "vozidiri/ref_count.h"

#include "gtest/gtest.h"

namespace rk {
namespace {

class CCounted : public CRefCount {
 public:
  explicit CCounted(int* destroyed) : destroyed_(destroyed) {}
  ~CCounted() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(RefPointerTest, LastHandleDestroysTheObjectOnce) {
  int destroyed = 0;
  {
    TRefPointer<CCounted> first(new CCounted(&destroyed));
    EXPECT_EQ(first->refCount(), 1);
    {
      TRefPointer<CCounted> copy = first;
      TRefPointer<CRefCount> base = copy;  // converting copy shares the object
      EXPECT_EQ(first->refCount(), 3);
    }
    EXPECT_EQ(first->refCount(), 1);

    TRefPointer<CCounted> moved = std::move(first);
    EXPECT_FALSE(first);
    EXPECT_EQ(moved->refCount(), 1);

    TRefPointer<CCounted>& alias = moved;
    moved = alias;  // assigning a handle to itself keeps the object alive
    EXPECT_EQ(destroyed, 0);
    moved = nullptr;
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace rk
