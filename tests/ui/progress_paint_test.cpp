// The progress column as it is painted: the list draws itself into a bitmap of the test
// (the same custom-draw road as painting on screen), and the pixels are read back.
#include <gtest/gtest.h>

#include <vector>

#include "ovtransfer/com/unique.h"
#include "support/hosted_test_control.h"
#include "support/scratch_folder.h"

namespace {

using testing_support::HostedTestControl;

constexpr COLORREF kEvenBar = RGB(161, 207, 104);
constexpr COLORREF kOddBar = RGB(0, 164, 88);
constexpr COLORREF kWhite = RGB(255, 255, 255);

// A 32-bit top-down picture of a window's client area, painted by the window itself.
class ClientPicture {
 public:
  explicit ClientPicture(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    width_ = client.right;
    height_ = client.bottom;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width_;
    info.bmiHeader.biHeight = -height_;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_.Reset(CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    old_ = SelectObject(dc_, bitmap_.Get());
    SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc_), PRF_CLIENT | PRF_ERASEBKGND);
    GdiFlush();
    pixels_ = static_cast<const DWORD*>(bits);
  }
  ~ClientPicture() {
    SelectObject(dc_, old_);
    bitmap_.Reset();  // once out of the DC, before the DC goes
    DeleteDC(dc_);
  }
  COLORREF At(int x, int y) const {
    const DWORD p = pixels_[y * width_ + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
  // How many pixels of row y, from x0 to x1 (exclusive), have the colour.
  int Count(int y, int x0, int x1, COLORREF colour) const {
    int n = 0;
    for (int x = x0; x < x1; ++x) n += At(x, y) == colour;
    return n;
  }
  // Where a bar of the colour, drawn from x0, ends in row y: the text over it may hide
  // some of its pixels, but none of the bar may lie right of the first white pixel.
  int BarEnd(int y, int x0, int x1, COLORREF colour) const {
    int end = x0;
    for (int x = x0; x < x1; ++x)
      if (At(x, y) == colour) end = x + 1;
    for (int x = x0; x < end; ++x)
      if (At(x, y) == kWhite) return -1;
    return end;
  }

 private:
  int width_ = 0, height_ = 0;
  HDC dc_ = nullptr;
  com::UniqueGdi<HBITMAP> bitmap_;
  HGDIOBJ old_ = nullptr;
  const DWORD* pixels_ = nullptr;
};

class ProgressPaint : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(control_.Active());
    file_ = files_.WriteFile(L"f.bin", "data");
  }
  // A task whose row shows the given progress word.
  UploadTask& Queue(DWORD percent, DWORD tenths) {
    const std::wstring remote = L"t" + std::to_wstring(control_.RowCount());
    EXPECT_EQ(control_.Add(HostedTestControl::kAddItem, L"t", L"127.0.0.1", 1, file_, L"", remote.c_str(), L"", 0),
              0);
    UploadTask& task = control_.LastTask();
    task.progress = (tenths << 16) | percent;
    return task;
  }
  RECT ProgressCell(int row) {
    RECT cell = {};
    cell.top = 2;
    cell.left = LVIR_BOUNDS;
    SendMessageW(control_.List(), LVM_GETSUBITEMRECT, row, reinterpret_cast<LPARAM>(&cell));
    return cell;
  }

  HostedTestControl control_;
  testing_support::ScratchFolder files_;
  std::wstring file_;
};

TEST_F(ProgressPaint, BarExtentFollowsTheProgressAndRowsAlternateColours) {
  Queue(50, 0);
  Queue(25, 5);
  Queue(0, 0);
  ClientPicture picture(control_.List());

  // Inside the sunken edge: the bar's colour for the done part, white for the rest.
  const struct {
    double fraction;
    COLORREF bar;
  } rows[] = {{0.5, kEvenBar}, {0.255, kOddBar}, {0.0, kEvenBar}};
  for (int row = 0; row < 3; ++row) {
    SCOPED_TRACE(row);
    const RECT cell = ProgressCell(row);
    const int width = cell.right - cell.left;
    ASSERT_GT(width, 40);
    // The bottom rows of the cell hold no text, only bar and white.
    const int y = cell.bottom - 4;
    const int x0 = cell.left + 2, x1 = cell.right - 2;
    const int expected_end = cell.left + static_cast<int>(width * rows[row].fraction);
    EXPECT_NEAR(picture.BarEnd(y, x0, x1, rows[row].bar), expected_end < x0 ? x0 : expected_end, 1);
    // The other row colour appears nowhere in this row.
    EXPECT_EQ(picture.Count(y, x0, x1, rows[row].bar == kEvenBar ? kOddBar : kEvenBar), 0);
  }
}

TEST_F(ProgressPaint, DoneTaskOfNoBytesShowsAFullBar) {
  Queue(0, 0);
  UploadTask& empty = Queue(0, 0);
  empty.total_size = 0;
  empty.state = TASK_DONE;
  ClientPicture picture(control_.List());

  const RECT cell = ProgressCell(1);
  const int y = cell.bottom - 4;
  const int x0 = cell.left + 2, x1 = cell.right - 2;
  EXPECT_EQ(picture.BarEnd(y, x0, x1, kOddBar), x1);
  EXPECT_EQ(picture.Count(y, x0, x1, kWhite), 0);
  // An unfinished task of the same progress word shows no bar at all.
  const RECT first = ProgressCell(0);
  EXPECT_EQ(picture.Count(first.bottom - 4, first.left + 2, first.right - 2, kEvenBar), 0);
}

TEST_F(ProgressPaint, PercentTextIsDrawnOverTheBar) {
  Queue(100, 0);
  ClientPicture picture(control_.List());
  const RECT cell = ProgressCell(0);
  // Text pixels are neither the bar's colour nor white, near the top of the cell.
  int ink = 0;
  for (int y = cell.top + 2; y < cell.bottom - 2; ++y)
    for (int x = cell.left + 2; x < cell.right - 2; ++x) {
      const COLORREF c = picture.At(x, y);
      ink += c != kEvenBar && c != kWhite;
    }
  EXPECT_GT(ink, 10);
}

}  // namespace
