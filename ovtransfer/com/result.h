// Return-on-failure helpers: a function reads as its steps, each step returning its failure.
#pragma once
#include <windows.h>

#include "status.h"

// Returns the status of expr when it is a failure.
#define RETURN_IF_FAILED(expr)                 \
  do {                                         \
    const HRESULT ov_status_ = (expr);         \
    if (FAILED(ov_status_)) return ov_status_; \
  } while (0)

// Returns the status of the last error when a call answering BOOL (or a handle) gives false.
#define RETURN_IF_WIN32_BOOL_FALSE(expr)      \
  do {                                        \
    if (!(expr)) return ::com::LastFailure(); \
  } while (0)

// Returns status when condition holds.
#define RETURN_HR_IF(status, condition) \
  do {                                  \
    if (condition) return (status);     \
  } while (0)
