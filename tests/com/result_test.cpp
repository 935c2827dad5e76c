#include <gtest/gtest.h>

#include "ovtransfer/com/result.h"

namespace {

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HRESULT Steps(BOOL ok, DWORD error, HRESULT step, bool refuse) {
  RETURN_IF_WIN32_BOOL_FALSE(ok || FailWith(error));
  RETURN_IF_FAILED(step);
  RETURN_HR_IF(E_ACCESSDENIED, refuse);
  return step;  // a success other than S_OK reaches the end
}

TEST(Result, EachStepReturnsItsOwnFailureAndSuccessesPassOn) {
  EXPECT_EQ(Steps(FALSE, ERROR_FILE_NOT_FOUND, S_OK, false), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Steps(TRUE, 0, E_OUTOFMEMORY, true), E_OUTOFMEMORY);
  EXPECT_EQ(Steps(TRUE, 0, S_FALSE, true), E_ACCESSDENIED);
  EXPECT_EQ(Steps(TRUE, 0, S_FALSE, false), S_FALSE);
}

TEST(Result, AFailedCallThatSetNoErrorNeverReadsAsSuccess) {
  EXPECT_EQ(Steps(FALSE, ERROR_SUCCESS, S_OK, false), E_FAIL);
}

}  // namespace
