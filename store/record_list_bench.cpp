// Costs of the aircraft collection at 100,000 entries: loading and saving
// "korvad.db", one lookup, and the two sorts that extended mode pays for
// every message (to registration order and back to date order).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "message/message_test_util.h"
#include "store/record_list_contact.h"

namespace korvad {
namespace {

constexpr int kEntries = 100000;

ContactList make_collection(int entries) {
    ContactList list = make_contact_list(1000, 100);
    std::mt19937 random(1);
    auto letters = [&](int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text.push_back(static_cast<char>('A' + random() % 26));
        return text;
    };
    while (list.count() < entries) {
        const std::int32_t time = 1700000000 + static_cast<std::int32_t>(random() % 31536000);
        const auto day = static_cast<std::int32_t>(random() % 28 + 1);
        const auto month = static_cast<std::int32_t>(random() % 12 + 1);
        const std::string registration = "D" + letters(4);  // 26^4 aircraft
        const std::string flight = letters(2) + std::to_string(random() % 10000);
        auto message = testing::build_message({.time = time,
                                               .day = day,
                                               .month = month,
                                               .year = 123,
                                               .mode = '2',
                                               .block_id = '5',
                                               .label = "H1",
                                               .registration = registration,
                                               .message_number = "M01A",
                                               .flight_id = flight,
                                               .text = letters(120),
                                               .aircraft_type = "Airbus A320-214",
                                               .route = "Frankfurt Main - New York Kennedy",
                                               .airline = "Lufthansa"});
        if (list.insert_unique(message) == ContactList::kRefused) std::abort();
    }
    return list;
}

int registration_order(const Message& a, const Message& b) {
    return std::strcmp(a.registration, b.registration);
}

std::string temp_path() {
    return (std::filesystem::temp_directory_path() /
            ("record_list_bench_" + std::to_string(getpid()) + ".db"))
        .string();
}

void BM_StoreCollection(benchmark::State& state) {
    ContactList list = make_collection(kEntries);
    for (auto _ : state) {
        std::FILE* out = std::fopen("/dev/null", "wb");
        benchmark::DoNotOptimize(list.store(out));
        std::fclose(out);
    }
}
BENCHMARK(BM_StoreCollection)->Unit(benchmark::kMillisecond);

// Whole save: temporary file, fsync and rename.
void BM_SaveCollection(benchmark::State& state) {
    ContactList list = make_collection(kEntries);
    std::string path = temp_path();
    for (auto _ : state) {
        if (!save_collection(list, path)) state.SkipWithError("save failed");
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
}
BENCHMARK(BM_SaveCollection)->Unit(benchmark::kMillisecond);

void BM_LoadCollection(benchmark::State& state) {
    std::string path = temp_path();
    if (!save_collection(make_collection(kEntries), path)) std::abort();
    for (auto _ : state) {
        ContactList list = make_contact_list(1000, 100);
        if (load_collection(list, path) != LoadResult::loaded) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(list.count());
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_LoadCollection)->Unit(benchmark::kMillisecond);

void BM_SearchCollection(benchmark::State& state) {
    ContactList list = make_collection(kEntries);
    std::vector<Message> keys;
    for (int i = 0; i < 1024; ++i)
        keys.push_back(*list.at(static_cast<std::int32_t>(i * 97 % kEntries)));
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.search(keys[next++ & 1023]));
    }
}
BENCHMARK(BM_SearchCollection);

void BM_SortByRegistrationAndBack(benchmark::State& state) {
    ContactList list = make_collection(kEntries);
    for (auto _ : state) {
        ScopedOrder<Message> by_registration(list, &registration_order);
        benchmark::DoNotOptimize(list.at(0));
    }
}
BENCHMARK(BM_SortByRegistrationAndBack)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvad
