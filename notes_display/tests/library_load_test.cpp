// Loading and unloading the built library: the two functions are found, and
// loading starts no thread and opens no descriptor. (That nothing else is
// exported is checked on the symbol table, by check_exports.cmake.)
#include "quorle.h"
#include "viewer_support.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::size_t thread_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

TEST(LibraryLoad, LoadAndUnloadStartNoThreadAndOpenNoDescriptor) {
    const std::size_t threads = thread_count();
    const std::size_t descriptors = quorle_test::open_descriptor_count();
    for (int round = 0; round < 3; ++round) {
        void* library = ::dlopen(QUORLE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << ::dlerror();
        EXPECT_NE(::dlsym(library, "PNDisplayFile"), nullptr);
        EXPECT_NE(::dlsym(library, "PNFileAvailable"), nullptr);
        EXPECT_EQ(thread_count(), threads);
        EXPECT_EQ(quorle_test::open_descriptor_count(), descriptors);
        EXPECT_EQ(::dlclose(library), 0);
    }
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(quorle_test::open_descriptor_count(), descriptors);
}

}  // namespace
