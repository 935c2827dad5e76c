#include <gtest/gtest.h>

#include <vector>

#include "ovtransfer/com/unique.h"

namespace {

// Handles are small numbers here; every close is recorded so a double or missing one shows.
std::vector<int> g_closed;
void CloseFake(int handle) { g_closed.push_back(handle); }
using UniqueFake = com::Unique<int, CloseFake, -1>;

class Owner : public ::testing::Test {
 protected:
  void SetUp() override { g_closed.clear(); }
};

TEST_F(Owner, EachHandleIsClosedExactlyOnceWhateverPathItTakes) {
  {
    UniqueFake a(1);
    a.Reset(2);  // 1 goes now
    EXPECT_EQ(g_closed, std::vector<int>({1}));
    UniqueFake b(std::move(a));
    EXPECT_FALSE(a.Valid());
    UniqueFake c(3);
    c = std::move(b);  // 3 goes, 2 moves on
    EXPECT_EQ(g_closed, std::vector<int>({1, 3}));
    UniqueFake& same = c;
    c = std::move(same);  // onto itself: still held, nothing closed
    EXPECT_EQ(c.Get(), 2);
    *c.Receive() = 4;  // an out parameter: 2 goes first
    EXPECT_EQ(g_closed, std::vector<int>({1, 3, 2}));
    UniqueFake d(5);
    EXPECT_EQ(d.Release(), 5);  // released: never closed by its former owner
    EXPECT_EQ(d.Get(), -1);
  }
  EXPECT_EQ(g_closed, std::vector<int>({1, 3, 2, 4}));
}

TEST_F(Owner, TheInvalidValueIsNeverClosed) {
  {
    UniqueFake empty, reset(-1), received;
    received.Receive();
    empty.Reset();
  }
  EXPECT_TRUE(g_closed.empty());
  UniqueFake zero(0);  // 0 is a handle when -1 is the invalid value
  EXPECT_TRUE(zero.Valid());
}

TEST(Owners, AKernelHandleOwnsNothingWhenNullOrInvalid) {
  // A failed CreateFile gives INVALID_HANDLE_VALUE, a failed CreateEvent null: neither is closed.
  EXPECT_FALSE(com::UniqueHandle(INVALID_HANDLE_VALUE).Valid());
  EXPECT_FALSE(com::UniqueFile(nullptr).Valid());
  EXPECT_EQ(com::UniqueFile().Get(), INVALID_HANDLE_VALUE);
  com::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  HANDLE raw = event.Get();
  event.Reset();
  EXPECT_FALSE(SetEvent(raw)) << "the event was not closed";
}

TEST(Owners, AVariantGivesBackWhatItHolds) {
  com::UniqueVariant v;
  v.Receive()->vt = VT_BSTR;
  v.Address()->bstrVal = SysAllocString(L"held");
  VARIANT out;
  VariantInit(&out);
  out.vt = VT_BSTR;
  out.bstrVal = SysAllocString(L"old");
  com::MoveInto(v, &out);  // "old" is freed, "held" moves over
  EXPECT_EQ(v.Get().vt, VT_EMPTY);
  EXPECT_STREQ(out.bstrVal, L"held");
  com::UniqueVariant owned(out);  // and is freed with its new owner
}

}  // namespace
