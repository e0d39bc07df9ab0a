// The start-up steps that make containers, when memory runs out: each ends
// the process with its own text and status, and leaves no queue behind.
// This executable replaces operator new so that a test can make the next
// allocation fail.

#include <gtest/gtest.h>
#include <sys/msg.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "common/test_folder.h"
#include "control/decoder.h"
#include "control/queue/queue.h"
#include "control/queue/queue_test_util.h"

// The replacements below pair malloc with free; GCC sees the standard
// operator new in inlined callers and would call that a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<bool> g_fail_next_allocation{false};  // one allocation fails, then all succeed
}  // namespace

void* operator new(std::size_t size) {
    if (g_fail_next_allocation.exchange(false)) throw std::bad_alloc();
    void* p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace korvad {
namespace {

struct Ending {
    int status;
    std::string errors;
    bool queue_left;
};

// Runs step in a child with a fresh decoder whose first allocation in the
// step fails; the child's standard error goes to a file read back here.
Ending run_failing(const std::function<void(Decoder&)>& step) {
    TestFolder folder{"korvad-startup"};
    const std::string errors_path = folder.file("stderr");
    int queue = -1;
    std::FILE* note = std::fopen(folder.file("queue").c_str(), "w+");
    const int status = testing::run_in_child([&] {
        if (std::freopen(errors_path.c_str(), "w", stderr) == nullptr) return 64;
        auto d = std::make_unique<Decoder>();
        d->state.queue_id = queue_create();
        std::fprintf(note, "%d\n", d->state.queue_id);
        std::fflush(note);
        d->screen.daemon = true;
        set_store_folder(d->stores, folder.path());
        g_fail_next_allocation = true;
        step(*d);
        return 65;  // the step should not have returned
    });
    std::rewind(note);
    if (std::fscanf(note, "%d", &queue) != 1) queue = -1;
    std::fclose(note);
    std::string errors;
    if (std::FILE* in = std::fopen(errors_path.c_str(), "r")) {
        for (int c; (c = std::fgetc(in)) != EOF;) errors.push_back(static_cast<char>(c));
        std::fclose(in);
    }
    struct msqid_ds info {};
    const bool left = queue >= 0 && msgctl(queue, IPC_STAT, &info) == 0;
    if (left) msgctl(queue, IPC_RMID, nullptr);
    return {status, errors, left};
}

TEST(StartupFailures, EachContainerThatCannotBeMadeEndsWithItsTextAndStatus) {
    struct Case {
        void (*step)(Decoder&);
        int status;
        const char* text;
    };
    const Case cases[] = {
        {&create_reference_databases_or_stop, 100,
         "error setting up internal databases...\nkorvad stopped\n\n"},
        {&open_collection_or_stop, 101, "error creating ACARS collection!\n"},
        {&open_statistics_or_stop, 100, "serror setting up internal statistic databases...\n"},
    };
    for (const Case& c : cases) {
        const Ending ending = run_failing(c.step);
        EXPECT_EQ(ending.status, c.status) << c.text;
        EXPECT_EQ(ending.errors, c.text);
        EXPECT_FALSE(ending.queue_left) << c.text;
    }
}

TEST(StartupFailures, WithMemoryEachStepMakesItsContainer) {
    TestFolder folder{"korvad-startup"};
    auto d = std::make_unique<Decoder>();
    set_store_folder(d->stores, folder.path());
    create_reference_databases_or_stop(*d);
    open_collection_or_stop(*d);
    open_statistics_or_stop(*d);
    EXPECT_TRUE(d->stores.databases.has_value());
    EXPECT_TRUE(d->stores.collection.has_value());
    EXPECT_TRUE(d->stores.statistics.has_value());
}

}  // namespace
}  // namespace korvad
