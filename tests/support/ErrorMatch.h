// Checks that an action raises an error of the expected class with an exact message.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "common/Errors.h"

namespace varnock::testing {

template <typename Expected = Exception, typename Action>
::testing::AssertionResult RaisesError(Action&& action, std::string_view message) {
  try {
    action();
  } catch (const Exception& error) {
    if (dynamic_cast<const Expected*>(&error) == nullptr) {
      return ::testing::AssertionFailure() << "error of another class, message \"" << error.Message() << "\"";
    }
    if (error.Message() == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "message \"" << error.Message() << "\", expected \"" << message << "\"";
  }
  return ::testing::AssertionFailure() << "no error raised, expected \"" << message << "\"";
}

}  // namespace varnock::testing
