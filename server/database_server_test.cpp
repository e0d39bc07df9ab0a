// The database server's pass over the real queue, with the clock given.

#include "server/database_server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "common/test_folder.h"
#include "control/queue/codes.h"
#include "control/queue/queue_test_util.h"

namespace korvad {
namespace {

class DatabaseServerPass : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(queue.id(), 0);
        ASSERT_FALSE(folder.path().empty());
        server.start.queue_id = queue.id();
        server.start.folder = folder.path();
        load_database_files(server);
    }

    void request(int code, const std::string& text, int slot) {
        ASSERT_EQ(queue_send_text(queue.id(), ToDatabaseServer, code, text.c_str(), slot), 0);
    }

    // (code, slot, text) of the next message of a type, or code -1.
    struct Taken {
        int code = -1;
        int slot = -1;
        std::string text;
    };
    Taken take(long type) {
        QueueMessage msg;
        if (queue_receive_once(queue.id(), type, msg) < 0) return {};
        return {msg.code, msg.client_slot, msg.text};
    }

    testing::QueueGuard queue;
    TestFolder folder{"korvad-dbserver-test"};
    DatabaseServer server;
};

TEST(CheckRoute, TwoOrThreeCodesOfThreeOrFourLetters) {
    struct Case {
        const char* value;
        bool valid;
    } cases[] = {
        {"FRA-JFK", true},
        {"EDDF-KJFK", true},
        {"FRA-LHR-JFK", true},
        {"FRA-EGLL-KJFK", true},
        {"AB-CDE", false},
        {"FRA-JF", false},
        {"FRA", false},
        {"FRA-", false},
        {"-JFK", false},
        {"FRAXX-JFK", false},
        {"FRA-JFK-", false},
        {"FRA-JFK-LH", false},
        {"FRA-JFK-LHRXX", false},
        {"FRA-JFK-LHR-MUC", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(check_route(c.value), c.valid) << c.value;
}

TEST(UpdateReferenceEntry, SplitsAtTheFirstTabAndReplaces) {
    ReferenceList list = make_reference_list(10, 10);
    EXPECT_EQ(update_reference_entry("LH\tLufthansa", list, false), 1);
    EXPECT_EQ(update_reference_entry("LH\tDeutsche Lufthansa\tAG", list, false), 1);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(*list.at(0)->value, "Deutsche Lufthansa\tAG");
    for (const char* bad : {"LH", "\tLufthansa", "LH\t", ""}) {
        EXPECT_EQ(update_reference_entry(bad, list, false), 0) << bad;
    }
    EXPECT_EQ(update_reference_entry("LH0400\tFRANKFURT", list, true), 0);
    EXPECT_EQ(list.count(), 1);
}

TEST_F(DatabaseServerPass, AnswersEachRequestToItsSlotAndSavesAtOnceThenEvery600Seconds) {
    request(queue_code::kUpdateFlight, "LH0400\tFRA-JFK", 7);
    request(queue_code::kUpdateFlight, "LH0401\tAB-CDE", 8);
    request(33, "XX\tignored", 9);
    request(queue_code::kUpdateAirline, "LH\tLufthansa", 10);
    request(queue_code::kUpdateType, "D-ABCD\tA320", 11);
    const std::time_t start = 1800000000;
    EXPECT_EQ(database_server_pass(server, start), 5);

    struct Reply {
        int code;
        int slot;
        const char* text;
    } replies[] = {{35, 7, "35 7"}, {36, 8, "36 8"}, {35, 10, "35 10"}, {35, 11, "35 11"}};
    for (const Reply& r : replies) {
        Taken t = take(ToServer);
        EXPECT_EQ(t.code, r.code);
        EXPECT_EQ(t.slot, r.slot);
        EXPECT_EQ(t.text, r.text);
    }
    EXPECT_EQ(take(ToServer).code, -1);  // nothing for code 33
    Taken reload = take(ToDecoder);
    EXPECT_EQ(reload.code, queue_code::kReloadDatabases);
    EXPECT_EQ(reload.text, " ");

    // The files hold the changes: a fresh load sees them.
    DatabaseServer reader;
    reader.start.folder = folder.path();
    load_database_files(reader);
    ASSERT_EQ(reader.databases.flights.count(), 1);
    EXPECT_EQ(*reader.databases.flights.at(0)->value, "FRA-JFK");
    EXPECT_EQ(reader.databases.airlines.count(), 1);
    EXPECT_EQ(reader.databases.types.count(), 1);

    // A second change 30 s later waits for the 600 s since the first save.
    request(queue_code::kUpdateAirline, "LH\tDeutsche Lufthansa", 3);
    EXPECT_EQ(database_server_pass(server, start + 30), 1);
    EXPECT_EQ(take(ToServer).text, "35 3");
    EXPECT_EQ(take(ToDecoder).code, -1);
    EXPECT_EQ(database_server_pass(server, start + 600), 0);
    EXPECT_EQ(take(ToDecoder).code, -1);
    EXPECT_EQ(database_server_pass(server, start + 601), 0);
    EXPECT_EQ(take(ToDecoder).code, queue_code::kReloadDatabases);
    load_database_files(reader);
    ASSERT_EQ(reader.databases.airlines.count(), 1);  // replaced, not added
    EXPECT_EQ(*reader.databases.airlines.at(0)->value, "Deutsche Lufthansa");
    // No change, no save.
    EXPECT_EQ(database_server_pass(server, start + 5000), 0);
    EXPECT_EQ(take(ToDecoder).code, -1);
}

TEST_F(DatabaseServerPass, SighupReloadsTheFilesAtTheNextPass) {
    install_database_signals();
    DatabaseServer writer;
    writer.start.folder = folder.path();
    ASSERT_EQ(update_reference_entry("BA\tBritish Airways", writer.databases.airlines, false), 1);
    ASSERT_TRUE(writer.databases.airlines.save_file(folder.file("korvad-airlines.db")));
    EXPECT_EQ(server.databases.airlines.count(), 0);
    std::raise(SIGHUP);
    EXPECT_EQ(server.databases.airlines.count(), 0);  // the handler only notes it
    (void)database_server_pass(server, 1800000000);
    ASSERT_EQ(server.databases.airlines.count(), 1);
    EXPECT_EQ(*server.databases.airlines.at(0)->value, "British Airways");
    for (int number : {SIGINT, SIGUSR1, SIGSEGV, SIGILL, SIGHUP}) signal(number, SIG_DFL);
}

}  // namespace
}  // namespace korvad
