// Loading and unloading the built library: the two functions are there,
// nothing else is visible to the loader, and loading starts no thread and
// opens no descriptor.
#include "quorle.h"
#include "test_support.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

namespace {

std::size_t thread_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

struct SymbolRow {
    const char* name;
    const char* symbol;
    bool visible;
};

void PrintTo(const SymbolRow& row, std::ostream* out) {
    *out << row.name;
}

const SymbolRow kSymbolRows[] = {
    {"display_file", "PNDisplayFile", true},
    {"file_available", "PNFileAvailable", true},
    {"profile_read", "GetPrivateProfileStringA", false},
    {"process_start", "_ZN6quorle18start_command_lineEPKc", false},
    {"cxx_runtime_operator_new", "_Znwm", false},
    {"cxx_runtime_terminate", "_ZSt9terminatev", false},
    {"unwinder", "_Unwind_RaiseException", false},
};

class LibrarySymbolTest : public ::testing::TestWithParam<SymbolRow> {};

TEST_P(LibrarySymbolTest, OnlyTheTwoFunctionsAreVisible) {
    const SymbolRow& row = GetParam();
    void* library = ::dlopen(QUORLE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    EXPECT_EQ(::dlsym(library, row.symbol) != nullptr, row.visible);
    EXPECT_EQ(::dlclose(library), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, LibrarySymbolTest, ::testing::ValuesIn(kSymbolRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(LibraryLoad, LoadAndUnloadStartNoThreadAndOpenNoDescriptor) {
    const std::size_t threads = thread_count();
    const std::size_t descriptors = quorle_test::open_descriptor_count();
    for (int round = 0; round < 3; ++round) {
        void* library = ::dlopen(QUORLE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << ::dlerror();
        EXPECT_EQ(thread_count(), threads);
        EXPECT_EQ(quorle_test::open_descriptor_count(), descriptors);
        EXPECT_EQ(::dlclose(library), 0);
    }
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(quorle_test::open_descriptor_count(), descriptors);
}

}  // namespace
