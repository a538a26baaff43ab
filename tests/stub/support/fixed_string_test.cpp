#include "stub/support/fixed_string.h"

#include "sim/core/text.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

namespace {

std::u16string Text(LPCWSTR text) { return text == nullptr ? u"<null>" : std::u16string(text); }
std::string Utf8(LPCWSTR text) { return sim::ToUtf8(Text(text)); }

// `units` writable units directly followed by a fence page. Once the fence is raised,
// any access to the unit just past the buffer faults instead of passing unnoticed.
class FencedBuffer {
 public:
  explicit FencedBuffer(size_t units) {
    page_ = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    base_ = static_cast<char*>(::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    data_ = reinterpret_cast<WCHAR*>(base_ + page_) - units;
  }
  ~FencedBuffer() { ::munmap(base_, 2 * page_); }
  WCHAR* data() { return data_; }
  void RaiseFence(int protection) { ASSERT_EQ(::mprotect(base_ + page_, page_, protection), 0); }

 private:
  size_t page_ = 0;
  char* base_ = nullptr;
  WCHAR* data_ = nullptr;
};

TEST(LengthTest, CountsUpToTheFirstZeroWithinTheCapacity) {
  const WCHAR five[] = {u'a', u'b', u'c', u'd', u'e', 0};
  struct Case {
    LPCWSTR text;
    Count capacity;
    Count expected;
  } cases[] = {
      {nullptr, 10, 0},  {u"abc", 0, 0},  {u"abc", 1, 0}, {u"", 5, 0},
      {u"abc", 5, 3},    {u"abcd", 5, 4}, {five, 5, 4},   {u"abc", 3, 2},
      {u"abc", 2, 1},  // the smallest capacity that holds a unit
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Length(c.text, c.capacity), c.expected) << Utf8(c.text) << " cap " << c.capacity;
  }
}

TEST(LengthTest, NeverReadsUnitCapacityMinusOne) {
  FencedBuffer fence(4);
  for (int i = 0; i < 4; ++i) fence.data()[i] = u'x';
  fence.RaiseFence(PROT_NONE);  // unit 4 is unreadable
  EXPECT_EQ(Length(fence.data(), 5), 4u);
}

TEST(AssignTest, SucceedsExactlyWhenTheSourceAndTerminatorFit) {
  struct Case {
    LPCWSTR source;
    Count capacity;
    bool fits;
  } cases[] = {
      {u"", 1, true}, {u"a", 1, false}, {u"abcd", 5, true}, {u"abcde", 5, false}, {u"abcdef", 5, false},
  };
  for (const auto& c : cases) {
    std::vector<WCHAR> buffer(c.capacity + 1, u'#');
    EXPECT_EQ(Assign(buffer.data(), c.capacity, c.source), c.fits) << Utf8(c.source);
    EXPECT_EQ(Text(buffer.data()), c.fits ? Text(c.source) : u"") << Utf8(c.source);
  }
}

TEST(AssignTest, RefusesANullDestinationOrZeroCapacityWithoutWriting) {
  WCHAR buffer[4] = {u'x', u'y', 0, 0};
  EXPECT_FALSE(Assign(nullptr, 4, u"a"));
  EXPECT_FALSE(Assign(buffer, 0, u"a"));
  EXPECT_EQ(Text(buffer), u"xy");
}

TEST(AssignTest, ShiftsAStringOneUnitLeftWhenTheSourceIsItsOwnSecondUnit) {
  PathString path;
  ASSERT_TRUE(path.Assign(u"\"C:\\Program Files\\setup.exe\""));
  ASSERT_TRUE(path.Assign(path.Data() + 1));
  EXPECT_EQ(Text(path.Data()), u"C:\\Program Files\\setup.exe\"");
}

TEST(AppendTest, SucceedsExactlyWhenTheWholeResultFits) {
  struct Case {
    LPCWSTR initial;
    LPCWSTR source;
    Count capacity;
    bool fits;
    LPCWSTR expected;
  } cases[] = {
      {u"ab", u"cd", 5, true, u"abcd"},       // capacity - 1 - L units
      {u"ab", u"cde", 5, false, u"ab"},       // one more: unchanged
      {u"", u"", 1, true, u""},               // capacity 1 takes only the empty source
      {u"", u"a", 1, false, u""},
      {u"abcd", u"", 5, true, u"abcd"},
      {u"abcd", u"e", 5, false, u"abcd"},
  };
  for (const auto& c : cases) {
    std::vector<WCHAR> buffer(c.capacity + 1, 0);
    std::copy_n(c.initial, std::u16string(c.initial).size(), buffer.begin());
    EXPECT_EQ(Append(buffer.data(), c.capacity, c.source), c.fits) << Utf8(c.initial) << "+" << Utf8(c.source);
    EXPECT_EQ(Text(buffer.data()), Text(c.expected));
  }
}

TEST(AppendTest, ContentThatFillsEveryUnitIsEndedAtTheLastUnit) {
  // Five units of capacity hold "abcde" with no terminator: Length reports 4.
  WCHAR empty_source[6] = {u'a', u'b', u'c', u'd', u'e', 0};
  EXPECT_TRUE(Append(empty_source, 5, u""));
  EXPECT_EQ(Text(empty_source), u"abcd");

  WCHAR other_source[6] = {u'a', u'b', u'c', u'd', u'e', 0};
  EXPECT_FALSE(Append(other_source, 5, u"x"));
  EXPECT_EQ(Text(other_source), u"abcd");
}

TEST(AppendTest, RefusesANullDestinationOrZeroCapacity) {
  WCHAR buffer[2] = {0, 0};
  EXPECT_FALSE(Append(nullptr, 5, u"a"));
  EXPECT_FALSE(Append(buffer, 0, u"a"));
  EXPECT_EQ(buffer[0], 0);
}

TEST(StartsWithNoCaseTest, FoldsOnlyAsciiLetters) {
  struct Case {
    LPCWSTR text;
    LPCWSTR prefix;
    bool expected;
  } cases[] = {
      {u"PELLORA.PACKED.7Z", u"pellora", true},
      {u"Setup.Exe", u"setup", true},
      {u"abc", u"", true},
      {u"", u"", true},
      {u"set", u"setup", false},   // a proper beginning of the prefix
      {u"Z", u"z", true},          // 0x5A and 0x7A
      {u"@", u"`", false},         // 0x40 and 0x60 are not letters
      {u"[", u"{", false},         // 0x5B and 0x7B
      {u"\u00C9", u"\u00E9", false},  // non-ASCII letters compare unchanged
      {nullptr, u"a", false},
      {u"a", nullptr, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StartsWithNoCase(c.text, c.prefix), c.expected) << Utf8(c.text) << " / " << Utf8(c.prefix);
  }
}

TEST(FindNoCaseTest, ReturnsTheLeftmostOccurrenceOrNone) {
  struct Case {
    LPCWSTR text;
    LPCWSTR needle;
    long expected;  // position, -1 for none
  } cases[] = {
      {u"", u"", 0},
      {u"abc", nullptr, 0},
      {u"", u"a", -1},
      {u"ab", u"abc", -1},
      {u"x1.2y1.2", u"1.2", 1},
      {u"C:\\App\\66.0.1\\SETUP.EXE", u"setup.exe", 14},
      {u"aaab", u"aab", 1},
      {u"abc", u"C", 2},
      {u"\u00C9t\u00E9", u"\u00E9T\u00C9", -1},
  };
  for (const auto& c : cases) {
    LPCWSTR found = FindNoCase(c.text, c.needle);
    EXPECT_EQ(found == nullptr ? -1L : static_cast<long>(found - c.text), c.expected)
        << Utf8(c.text) << " / " << Utf8(c.needle);
  }
}

TEST(FileNamePositionTest, FindsTheUnitAfterTheLastBackslashAmongTheFirstN) {
  struct Case {
    LPCWSTR path;
    Count count;
    long expected;
  } cases[] = {
      {u"C:\\Setup\\installer.exe", 22, 9},
      {u"C:\\Setup\\", 9, 9},
      {u"installer.exe", 13, 0},
      {u"\\installer.exe", 14, 1},
      {u"C:\\a\\b", 0, 0},
      {u"C:/a/b", 6, 0},              // the forward slash is no separator
      {u"C:\\a\\b\\c", 5, 5},         // only the first five units are examined
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileNamePosition(c.path, c.count) - c.path, c.expected) << Utf8(c.path) << " n=" << c.count;
  }
}

TEST(HexEncodeTest, WritesUpperCaseDigitsInMemoryOrderWhenTheyFit) {
  const BYTE bytes[] = {0x3F, 0xA9, 0xC2, 0x07};
  WCHAR fits[10];
  std::fill(std::begin(fits), std::end(fits), u'#');
  ASSERT_TRUE(HexEncode(bytes, 4, fits, 9));
  EXPECT_EQ(Text(fits), u"3FA9C207");

  WCHAR too_small[10];
  std::fill(std::begin(too_small), std::end(too_small), u'#');
  EXPECT_FALSE(HexEncode(bytes, 4, too_small, 8));
  EXPECT_EQ(std::u16string(too_small, 10), std::u16string(10, u'#'));

  WCHAR only_terminator[2] = {u'#', u'#'};
  EXPECT_TRUE(HexEncode(bytes, 0, only_terminator, 1));
  EXPECT_EQ(only_terminator[0], 0);
  EXPECT_EQ(only_terminator[1], u'#');
}

TEST(FillBytesTest, FillsWithTheLowByteAndReturnsTheDestination) {
  BYTE bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(FillBytes(bytes, 0x1AB, 3), bytes);
  EXPECT_EQ(bytes[0], 0xAB);
  EXPECT_EQ(bytes[2], 0xAB);
  EXPECT_EQ(bytes[3], 4);
  EXPECT_EQ(FillBytes(bytes, 0, 0), bytes);
  EXPECT_EQ(bytes[0], 0xAB);
}

// The guard unit of a real FixedString sits on a page made read-only after construction,
// so a single write to it by any operation ends the test with a fault.
TEST(FixedStringTest, NoOperationEverWritesTheGuardUnit) {
  constexpr Count kN = 8;
  FencedBuffer fence(kN);
  auto* text = new (fence.data()) FixedString<kN>;
  ASSERT_EQ(reinterpret_cast<char*>(&text->units[kN]), reinterpret_cast<char*>(fence.data() + kN));
  fence.RaiseFence(PROT_READ);
  const BYTE bytes[] = {0xDE, 0xAD, 0xBE, 0xEF};

  EXPECT_TRUE(text->Assign(u"1234567"));
  EXPECT_FALSE(text->Assign(u"12345678"));
  EXPECT_TRUE(text->Assign(u"1234"));
  EXPECT_FALSE(text->Append(u"5678"));
  EXPECT_TRUE(text->Append(u"567"));
  EXPECT_FALSE(text->Append(u"8"));
  EXPECT_EQ(text->Length(), 7u);
  EXPECT_FALSE(HexEncode(bytes, 4, text->Data(), kN));
  EXPECT_TRUE(HexEncode(bytes, 3, text->Data(), kN));
  EXPECT_EQ(Text(text->Data()), u"DEADBE");
  FillBytes(text->Data(), 0x41, kN * sizeof(WCHAR));
  EXPECT_EQ(text->Length(), kN - 1);
  EXPECT_EQ(text->units[kN], 0);  // still zero, so the full buffer is still terminated
  EXPECT_EQ(Text(text->Data()), std::u16string(kN, u'\x4141'));
}

TEST(FixedStringTest, StartsEmptyWithAZeroGuard) {
  TypeString tag;
  EXPECT_TRUE(tag.IsEmpty());
  EXPECT_EQ(tag.units[kTypeCapacity], 0);
  EXPECT_TRUE(tag.Assign(u"B7"));
  EXPECT_FALSE(tag.Assign(u"B7X"));
  EXPECT_TRUE(tag.IsEmpty());
  EXPECT_EQ(tag.units[kTypeCapacity], 0);
}

}  // namespace
