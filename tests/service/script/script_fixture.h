// Shared fixture of the script engine tests: a fresh program folder, a page
// sized store and output, and helpers that run a text and return its output.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/core/file_util.h"
#include "service/script/script.h"
#include "tests/support/test_support.h"

class ScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(script_store_create(kScriptPageStore), 0);
    for (const char* d : {"user", "www", "www/page", "tmp"}) ASSERT_EQ(dir_create(d), 0);
    output_.assign(kScriptPageOutput, '\x7f');
  }
  void TearDown() override {
    script_store_release();
    script_set_request_lookup(nullptr);
    script_set_service_commands(nullptr);
    script_set_path_mapper(nullptr);
    script_set_system_runner(nullptr);
    script_set_seconds_clock(nullptr);
    script_set_net_info(nullptr);
    script_set_step_budget(kScriptStepBudget);
  }

  // Runs text and returns its output; the error, if any, is in error().
  std::string run(const std::string& text, int mode = SCRIPT_FILE, const char* name = "t.ts") {
    text_ = text;
    const int n = script_run(output_, name, text_.c_str(), mode);
    EXPECT_GE(n, 0);
    EXPECT_EQ(output_[static_cast<std::size_t>(n)], '\0');
    return std::string(output_.data(), static_cast<std::size_t>(n));
  }
  std::string page(const std::string& text) { return run(text, SCRIPT_PAGE, "www/t.htm"); }
  std::string error() const { return script_get_var("script_error"); }
  std::string var(const char* name) const { return script_get_var(name); }

  kvtest::TempProgramFolder folder_;
  std::vector<char> output_;
  std::string text_;
};
