// The last-error record under concurrent writers.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "library/last_error.h"
#include "test_support.h"

namespace {

class LastErrorTest : public LibraryTest {};

TEST_F(LastErrorTest, KeepsOnlyTheLatestFailure) {
  RecordError("first", 1);
  RecordError("second", 2);
  EXPECT_EQ(LastError().text, "second");
  EXPECT_EQ(LastError().code, 2);
}

TEST_F(LastErrorTest, BareCodeLeavesTheTextAlone) {
  RecordError("text", 1);
  RecordErrorCode(5);
  EXPECT_EQ(LastError().text, "text");
  EXPECT_EQ(LastError().code, 5);
}

TEST_F(LastErrorTest, NullTextIsEmptyAndOverlongTextIsCut) {
  RecordError(nullptr, 3);
  EXPECT_EQ(LastError().text, "");
  const std::string longText(1000, 'x');
  RecordError(longText.c_str(), 4);
  EXPECT_EQ(LastError().text, std::string(kLastErrorTextCapacity, 'x'));
}

TEST_F(LastErrorTest, UnloadEmptiesTheTextOnly) {
  RecordError("text", 9);
  ClearLastErrorText();
  EXPECT_EQ(LastError().text, "");
  EXPECT_EQ(LastError().code, 9);
}

// Writers on several threads, each with its own text of its own length: every
// record a reader sees has the text that belongs to its code.
TEST_F(LastErrorTest, ConcurrentFullRecordsAlwaysPairTextWithCode) {
  constexpr int kWriters = 4;
  constexpr int kRecordsEach = 20000;
  std::vector<std::string> texts;
  for (int writer = 0; writer < kWriters; ++writer) {
    texts.push_back(std::string(5 + writer * 30, static_cast<char>('a' + writer)));
  }
  std::atomic<int> running{kWriters};
  std::vector<std::thread> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([&, writer] {
      for (int i = 0; i < kRecordsEach; ++i) {
        RecordError(texts[writer].c_str(), writer);
      }
      running.fetch_sub(1);
    });
  }
  int mismatches = 0;
  while (running.load() > 0) {
    const LastErrorRecord record = LastError();
    if (record.text.empty() && record.code == 0) {
      continue;
    }
    if (record.code < 0 || record.code >= kWriters || record.text != texts[record.code]) {
      ++mismatches;
    }
  }
  for (std::thread& thread : writers) {
    thread.join();
  }
  EXPECT_EQ(mismatches, 0);
  const LastErrorRecord last = LastError();
  ASSERT_GE(last.code, 0);
  ASSERT_LT(last.code, kWriters);
  EXPECT_EQ(last.text, texts[last.code]);
}

}  // namespace
