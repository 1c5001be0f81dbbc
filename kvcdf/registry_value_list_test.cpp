#include "kvcdf/registry_value_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using kv::cdf::RegistryValueList;

constexpr wchar_t kScratch[] = L"Software\\Korvane\\KvCdfTest";

// A scratch key of values for one test, removed after it.
class ScratchKey : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        key.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    }
    void Put(const std::wstring& name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    std::vector<std::wstring> Walk(RegistryValueList& list, const RegistryValueList::Visitor& also = {}) {
        std::vector<std::wstring> seen;
        list.Enumerate([&](const std::wstring& name, DWORD value) {
            seen.push_back(name + L"=" + std::to_wstring(value));
            return also ? also(name, value) : true;
        });
        return seen;
    }
    kv::UniqueHkey key;
};

TEST_F(ScratchKey, NamesUpTo259CharactersAreWrittenLongerOnesRefused) {
    RegistryValueList list(HKEY_CURRENT_USER, kScratch, true);
    struct Case {
        size_t length;
        bool written;
    } cases[] = {{1, true}, {259, true}, {260, false}, {1000, false}};
    for (const auto& c : cases) {
        std::wstring name(c.length, L'n');
        EXPECT_EQ(list.Set(name, 7), c.written) << c.length;
        EXPECT_EQ(list.Get(name).has_value(), c.written) << c.length;
    }
    EXPECT_EQ(Walk(list).size(), 2u);
}

TEST_F(ScratchKey, WalkPassesOverValuesThatAreNoChannelEntries) {
    DWORD five = 5, six = 6;
    Put(L"Good", REG_DWORD, &five, sizeof five);
    Put(L"Text", REG_SZ, L"12345678", 18);
    Put(L"Short", REG_SZ, L"1", 4);
    Put(L"Binary", REG_BINARY, &six, sizeof six);
    Put(L"", REG_DWORD, &six, sizeof six);                 // the key's default value
    Put(std::wstring(300, L'L'), REG_DWORD, &six, sizeof six);  // longer than any channel name
    Put(L"Also", REG_DWORD, &six, sizeof six);
    RegistryValueList list(HKEY_CURRENT_USER, kScratch, true);
    auto seen = Walk(list);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"Also=6", L"Good=5"}));
    EXPECT_FALSE(list.Get(L"Text").has_value());
}

TEST_F(ScratchKey, DeletingDuringTheWalkVisitsEveryValueOnce) {
    RegistryValueList list(HKEY_CURRENT_USER, kScratch, true);
    for (DWORD i = 1; i <= 6; ++i) list.Set(L"c" + std::to_wstring(i), i);
    // Each visit deletes the value it is given and the next one; both were there at the start.
    auto seen = Walk(list, [&](const std::wstring& name, DWORD value) {
        list.Remove(name);
        list.Remove(L"c" + std::to_wstring(value + 1));
        return true;
    });
    EXPECT_EQ(seen.size(), 6u);
    EXPECT_TRUE(Walk(list).empty());

    list.Set(L"a", 1);
    list.Set(L"b", 2);
    EXPECT_FALSE(list.Enumerate([](const std::wstring&, DWORD) { return false; }));
}

TEST(RegistryLists, MissingKeysBehaveAsEmptyListsExceptChannels) {
    RegDeleteTreeW(HKEY_CURRENT_USER, kv::cdf::kExcludeKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, kv::cdf::kPrivilegedKey);
    EXPECT_EQ(kv::cdf::ExcludeList().Lookup(L"News"), 0u);
    EXPECT_EQ(kv::cdf::PrivilegedList().Count(), 0u);
    EXPECT_EQ(kv::cdf::PrivilegedList().Lookup(L"News"), 0u);
    EXPECT_THROW(RegistryValueList(HKEY_CURRENT_USER, L"Software\\Korvane\\KvCdfTest\\Missing", true),
                 kv::HResultError);
    EXPECT_FALSE(RegistryValueList(HKEY_CURRENT_USER, L"Software\\Korvane\\KvCdfTest\\Missing", false).Set(L"x", 1));
}

TEST(RegistryLists, PrivilegedEntriesAreReadOnceLookupsReadNow) {
    kv::UniqueHkey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kv::cdf::kPrivilegedKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    DWORD one = 1, two = 2;
    RegSetValueExW(key.get(), L"Home", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
    RegSetValueExW(key.get(), L"Sports", 0, REG_DWORD, reinterpret_cast<BYTE*>(&two), 4);
    kv::cdf::PrivilegedList list;
    ASSERT_EQ(list.Count(), 2u);
    size_t home = list.Item(0).name == L"Home" ? 0 : 1;
    EXPECT_EQ(list.Item(1 - home).name, L"Sports");
    RegSetValueExW(key.get(), L"Home", 0, REG_DWORD, reinterpret_cast<BYTE*>(&two), 4);
    EXPECT_EQ(list.Lookup(L"Home"), 2u);
    EXPECT_EQ(list.Item(home).flags, 1u);
    key.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, kv::cdf::kPrivilegedKey);
}

}  // namespace
