// SPDX-License-Identifier: Apache-2.0
#include "driver/display.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace rovelin {
namespace {

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(Display, OnlyAReachableDisplayCounts) {
  ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
  {
    ScopedEnv display("DISPLAY", nullptr);
    EXPECT_FALSE(displayAvailable());
  }
  {
    ScopedEnv display("DISPLAY", "");
    EXPECT_FALSE(displayAvailable());
  }
  {
    // A local display whose server socket is not there would abort the GUI library.
    ScopedEnv display("DISPLAY", ":7391");
    EXPECT_FALSE(displayAvailable());
  }
  {
    ScopedEnv display("DISPLAY", "workstation.example:0");
    EXPECT_TRUE(displayAvailable());
  }
  {
    ScopedEnv display("DISPLAY", nullptr);
    ScopedEnv other("WAYLAND_DISPLAY", "/nonexistent/wayland-0");
    EXPECT_FALSE(displayAvailable());
  }
}

}  // namespace
}  // namespace rovelin
