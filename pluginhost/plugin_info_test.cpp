// Tests of _PlugInInfo::matches (which subscription masks an event's flags
// select, and the subset rule) and of the watchdog close order.
#include "pluginhost/plugin_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// Selector bit of each of the nine masks, written out rather than derived.
const uint32_t kSelector[9] = {0x001, 0x002, 0x004, 0x008, 0x010, 0x020, 0x040, 0x080, 0x400};
const uint32_t kAllSelectors = 0x4FF;
// Flag bits that select no mask.
const uint32_t kNonSelectors = 0x100 | 0x200 | 0x800 | 0x1000 | 0xFFFFE000u;

_PlugInInfo withMasks(std::initializer_list<std::pair<int, uint32_t>> masks) {
  _PlugInInfo info;
  for (auto& m : masks) info.loadInfo.masks[m.first] = m.second;
  return info;
}

TEST(PlugInInfoMatches, WithoutASelectorBitNothingMatches) {
  _PlugInInfo info;
  for (int k = 0; k < 9; ++k) info.loadInfo.masks[k] = 0xFFFFFFFFu;
  EXPECT_FALSE(info.matches(0, 0));
  EXPECT_FALSE(info.matches(0, 0x1));
  EXPECT_FALSE(info.matches(kNonSelectors, 0));
  EXPECT_FALSE(info.matches(kNonSelectors, 0x1234));
}

TEST(PlugInInfoMatches, EachSelectorBitTestsOnlyItsOwnMask) {
  for (int k = 0; k < 9; ++k) {
    SCOPED_TRACE(testing::Message() << "mask " << k);
    _PlugInInfo info = withMasks({{k, 0xF0}});
    EXPECT_TRUE(info.matches(kSelector[k], 0x30));
    EXPECT_TRUE(info.matches(kSelector[k] | kNonSelectors, 0x30));
    EXPECT_FALSE(info.matches(kAllSelectors & ~kSelector[k], 0x30));
    EXPECT_FALSE(info.matches(kNonSelectors, 0x30));
  }
}

TEST(PlugInInfoMatches, MaskEightIsSelectedBy0x400Only) {
  _PlugInInfo info = withMasks({{8, 0x00FF0000u}});
  EXPECT_TRUE(info.matches(0x400, 0x00010000u));
  EXPECT_FALSE(info.matches(0x100, 0x00010000u));
  EXPECT_FALSE(info.matches(0x200, 0x00010000u));
  EXPECT_FALSE(info.matches(0x800, 0x00010000u));
  EXPECT_FALSE(info.matches(0xFF, 0x00010000u));
}

TEST(PlugInInfoMatches, PatternZeroMatchesAnyTestedMaskEvenAnEmptyOne) {
  _PlugInInfo info;  // every mask 0
  EXPECT_TRUE(info.matches(0x001, 0));
  EXPECT_TRUE(info.matches(0x400, 0));
  EXPECT_FALSE(info.matches(0x100, 0));
}

TEST(PlugInInfoMatches, PatternMustBeASubsetOfTheMask) {
  _PlugInInfo info = withMasks({{3, 0xA}});  // 1010
  const uint32_t f = kSelector[3];
  EXPECT_TRUE(info.matches(f, 0x8));
  EXPECT_TRUE(info.matches(f, 0x2));
  EXPECT_TRUE(info.matches(f, 0xA));
  EXPECT_FALSE(info.matches(f, 0x6)) << "pattern partly outside the mask";
  EXPECT_FALSE(info.matches(f, 0x1));
  EXPECT_FALSE(info.matches(f, 0xB));
  EXPECT_FALSE(info.matches(f, 0x80000000u));
}

TEST(PlugInInfoMatches, OneTestedMaskMustHoldTheWholePattern) {
  _PlugInInfo info = withMasks({{2, 0x3}, {4, 0xC}});
  const uint32_t f = kSelector[2] | kSelector[4];
  EXPECT_TRUE(info.matches(f, 0x3));
  EXPECT_TRUE(info.matches(f, 0xC));
  EXPECT_FALSE(info.matches(f, 0xF)) << "the union of two masks must not count";
  EXPECT_FALSE(info.matches(f, 0x6));
  // Only the selected mask counts: mask 4 holds 0xC but is not selected.
  EXPECT_FALSE(info.matches(kSelector[2], 0xC));
}

TEST(PlugInInfoMatches, HighBitsOfMaskAndPatternAreCompared) {
  _PlugInInfo info = withMasks({{7, 0x80000001u}});
  EXPECT_TRUE(info.matches(kSelector[7], 0x80000000u));
  EXPECT_TRUE(info.matches(kSelector[7], 0x80000001u));
  EXPECT_FALSE(info.matches(kSelector[7], 0x40000000u));
}

_PlugInInfo withWatchdogKey(uint32_t key, uint32_t id) {
  _PlugInInfo info;
  info.loadInfo.masks[5] = key;
  info.loadInfo.moduleId = id;
  return info;
}

TEST(CompareWatchdogServices, SortPutsTheLargerMaskFiveFirst) {
  std::vector<_PlugInInfo> v = {withWatchdogKey(0, 1), withWatchdogKey(9, 2), withWatchdogKey(3, 3)};
  std::sort(v.begin(), v.end(), compare_watchdogServices);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].loadInfo.masks[5], 9u);
  EXPECT_EQ(v[1].loadInfo.masks[5], 3u);
  EXPECT_EQ(v[2].loadInfo.masks[5], 0u);
  EXPECT_EQ(v[0].moduleId(), 2u);
  EXPECT_EQ(v[1].moduleId(), 3u);
  EXPECT_EQ(v[2].moduleId(), 1u);
}

TEST(CompareWatchdogServices, EqualKeysAreNeitherBeforeTheOther) {
  _PlugInInfo a = withWatchdogKey(4, 1);
  _PlugInInfo b = withWatchdogKey(4, 2);
  // Other masks do not take part in the order.
  a.loadInfo.masks[0] = 100;
  b.loadInfo.masks[6] = 100;
  EXPECT_FALSE(compare_watchdogServices(a, b));
  EXPECT_FALSE(compare_watchdogServices(b, a));
  EXPECT_FALSE(compare_watchdogServices(a, a));

  std::vector<_PlugInInfo> v = {a, withWatchdogKey(7, 3), b};
  std::stable_sort(v.begin(), v.end(), compare_watchdogServices);
  EXPECT_EQ(v[0].moduleId(), 3u);
  EXPECT_EQ(v[1].moduleId(), 1u);
  EXPECT_EQ(v[2].moduleId(), 2u);
}

TEST(CompareWatchdogServices, KeysCompareUnsigned) {
  _PlugInInfo big = withWatchdogKey(0x80000000u, 1);
  _PlugInInfo one = withWatchdogKey(1, 2);
  EXPECT_TRUE(compare_watchdogServices(big, one));
  EXPECT_FALSE(compare_watchdogServices(one, big));

  std::vector<_PlugInInfo> v = {one, withWatchdogKey(0, 3), big, withWatchdogKey(0xFFFFFFFFu, 4)};
  std::sort(v.begin(), v.end(), compare_watchdogServices);
  EXPECT_EQ(v[0].moduleId(), 4u);
  EXPECT_EQ(v[1].moduleId(), 1u);
  EXPECT_EQ(v[2].moduleId(), 2u);
  EXPECT_EQ(v[3].moduleId(), 3u);
}

}  // namespace
