// The device list's own rules, without a sound server: the default entries,
// their exact texts, and a list that grows without losing entries.
#include <gtest/gtest.h>

#include <string>

#include "audio_devices.h"
#include "capture_stream.h"
#include "endpoints.h"

namespace {

TEST(EndpointList, DefaultEntriesComeFirstWithTheirExactTexts) {
    EndpointList list{};
    ASSERT_EQ(endpoint_list_add_defaults(&list), 0);
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(list.entries[0].flow, 0);
    EXPECT_EQ(list.entries[0].is_default, 1);
    EXPECT_EQ(list.entries[1].flow, 1);
    EXPECT_EQ(list.entries[1].is_default, 1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(list.entries[i].device_id[0], 0);
        EXPECT_EQ(list.entries[i].friendly_name[0], 0);
    }
    // Spelled out by code point: four (five) CJK characters, three (one)
    // ASCII spaces, U+FF1A, then ASCII parentheses around the default words.
    const std::wstring output = {0x7535, 0x8111, 0x8F93, 0x51FA, ' ',    ' ',    ' ',
                                 0xFF1A, '(',    0x9ED8, 0x8BA4, 0x8BBE, 0x5907, ')'};
    const std::wstring input = {0x9EA6, 0x514B, 0x98CE, 0x8F93, 0x5165, ' ', 0xFF1A,
                                '(',    0x9ED8, 0x8BA4, 0x8BBE, 0x5907, ')'};
    EXPECT_EQ(std::wstring(list.entries[0].display_text), output);
    EXPECT_EQ(std::wstring(list.entries[1].display_text), input);
    endpoint_list_free(&list);
    EXPECT_EQ(list.entries, nullptr);
    EXPECT_EQ(list.count, 0);
}

TEST(EndpointList, GrowsByHalfAndKeepsEveryEntry) {
    EndpointList list{};
    auto* entry = new EndpointEntry{};
    std::vector<int32_t> capacities;
    for (int i = 0; i < 40; ++i) {
        entry->flow = i % 2;
        swprintf(entry->device_id, ENDPOINT_TEXT_UNITS, L"id-%d", i);
        ASSERT_EQ(endpoint_list_append(&list, entry), 0);
        if (capacities.empty() || capacities.back() != list.capacity) {
            capacities.push_back(list.capacity);
        }
    }
    for (size_t i = 1; i < capacities.size(); ++i) {
        EXPECT_EQ(capacities[i], capacities[i - 1] + capacities[i - 1] / 2);
    }
    ASSERT_EQ(list.count, 40);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(std::wstring(list.entries[i].device_id), L"id-" + std::to_wstring(i));
        EXPECT_EQ(list.entries[i].flow, i % 2);
    }
    delete entry;
    endpoint_list_free(&list);
}

// What the window may call on a stream or context that isn't there.
TEST(CaptureStream, NullStreamsAreRefusedOrIgnoredAsDocumented) {
    EXPECT_EQ(audio_devices_open(nullptr), -1);
    EXPECT_EQ(audio_devices_close(nullptr), -1);
    AudioDevices* no_devices = nullptr;
    EXPECT_EQ(audio_devices_close(&no_devices), -1);
    EXPECT_EQ(std::wstring(capture_endpoint_id(nullptr)), L"");
    EXPECT_EQ(capture_start(nullptr), 0);
    EXPECT_EQ(capture_stop(nullptr), -1);
    EXPECT_EQ(capture_destroy(nullptr), -1);
    CaptureStream* none = nullptr;
    EXPECT_EQ(capture_destroy(&none), -1);
    EXPECT_EQ(capture_set_callback(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(capture_create(nullptr, nullptr, 0, nullptr), -1);
}

} // namespace
