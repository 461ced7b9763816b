// ErrorOf: runs `f` and returns the ado::Error it throws (a test failure
// when it throws none); Has: whether the error's description holds `word`.
#pragma once

#include <gtest/gtest.h>

#include "ado.h"

template <typename F> ado::Error ErrorOf(F f) {
  try {
    f();
  } catch (const ado::Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error";
  return ado::Error(0, "");
}

inline bool Has(const ado::Error& e, const char* word) {
  return e.Description().find(word) != std::string::npos;
}
