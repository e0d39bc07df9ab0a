// info, aircraft, flight, records, registrations: questions about the
// station and its aircraft collection.

#include <algorithm>

#include "client/commands.h"
#include "client/text_forms.h"
#include "common/format.h"

namespace korvad::client {

namespace {

// The longest list a client keeps for one answer: far above any collection a
// station holds, and a count above it is not believed.
constexpr std::int64_t kMostEntries = 10'000'000;

struct ContactSearch {
    const char* command;
    const char* search;  // the mapper's name for it
    std::int32_t request;
    std::int32_t found;
    std::int32_t not_found;
    std::int32_t item;
    bool end_marker;  // the list ends with 77 "!"
    const char* what;
};

constexpr ContactSearch kSearches[] = {
    {"aircraft", "aircraft", code::kAircraftContacts, code::kContactsFound, code::kNotFound,
     code::kContact, false, "contacts of aircraft"},
    {"flight", "flight", code::kFlightContacts, code::kContactsFound, code::kNotFound,
     code::kContact, false, "contacts of flight"},
    {"records", "records", code::kRecords, code::kRecordsFound, code::kNoRecords, code::kRecord,
     true, "records of aircraft"},
};

std::string contact_line(const ContactSearch& search, const Packet& p) {
    auto c = parse_stream_contact(p.payload);
    if (!c) return format_text("  (unreadable: %s)\n", printable(p.payload).c_str());
    if (search.request == code::kAircraftContacts)
        return format_text("%s  flight %-7s  route: %s\n", contact_time(c->time).c_str(),
                           printable(c->first).c_str(), printable(c->second).c_str());
    return format_text("%s  %-8s  type: %s\n", contact_time(c->time).c_str(),
                       printable(c->first).c_str(), printable(c->second).c_str());
}

enum class Asked { kAnswered, kStalled, kFailed };

// One try of a search: the head, then `count` items. A list that stops
// part-way is kStalled, with what came so far left in `items`.
Asked ask_once(Session& session, const ContactSearch& search, const std::string& key, Packet& head,
               std::vector<Packet>& items, int& failure, std::string& reason) {
    items.clear();
    failure = session.send(search.request, 0, key, reason);
    if (failure != status::kDone) return Asked::kFailed;
    const int wait = session.options().timeout_s;
    failure = session.await({search.found, search.not_found}, wait, head, reason);
    if (failure != status::kDone) return Asked::kFailed;
    if (head.header.code == search.not_found) return Asked::kAnswered;
    auto counted = parse_count_and_text(head.payload);
    if (!counted || counted->count < 0 || counted->count > kMostEntries) {
        failure = status::kNotStation;
        reason = format_text("the station's answer does not read: \"%s\"", head.payload.c_str());
        return Asked::kFailed;
    }
    items.reserve(static_cast<std::size_t>(std::min<std::int64_t>(counted->count, 100000)));
    while (static_cast<std::int64_t>(items.size()) < counted->count) {
        Packet p;
        failure = session.await({search.item, search.found, search.not_found}, wait, p, reason);
        if (failure == status::kNoAnswer) return Asked::kStalled;
        if (failure != status::kDone) return Asked::kFailed;
        if (p.header.code != search.item) return Asked::kStalled;  // an answer out of turn
        items.push_back(std::move(p));
    }
    if (search.end_marker) {
        Packet end;
        failure = session.await({code::kRecordsEnd}, wait, end, reason);
        if (failure != status::kDone && failure != status::kNoAnswer) return Asked::kFailed;
    }
    failure = status::kDone;
    return Asked::kAnswered;
}

}  // namespace

int run_info(Session& session) {
    int s = session.start();
    if (s != status::kDone) return s;
    session.output().event(greeting_to_json(session.greeting()));
    session.output().text(greeting_table(session.greeting()));
    session.leave();
    return status::kDone;
}

int run_contacts(Session& session, const std::string& command, const std::string& key) {
    const ContactSearch* search = nullptr;
    for (const ContactSearch& s : kSearches)
        if (command == s.command) search = &s;
    if (search == nullptr) return session.fail(status::kUsage, "no such search: " + command);
    int s = session.start();
    if (s != status::kDone) return s;
    Packet head;
    std::vector<Packet> items;
    std::string reason;
    int failure = status::kDone;
    for (int attempt = 1;; ++attempt) {
        session.mapper().expect_search(search->search);
        Asked asked = ask_once(session, *search, key, head, items, failure, reason);
        if (asked == Asked::kAnswered) break;
        if (asked == Asked::kFailed) return session.fail(failure, reason);
        if (attempt == kListAttempts)
            return session.fail(status::kNoAnswer,
                                format_text("the station stopped its list after %zu entries, %d "
                                            "times",
                                            items.size(), kListAttempts));
        session.output().note(
            "the station stopped its list after %zu entries (it reloads its "
            "collection now and then); asking again",
            items.size());
    }
    Output& out = session.output();
    out.event(session.mapper().map(head));
    if (head.header.code == search->not_found) {
        out.text(format_text("no %s %s\n", search->what, printable(key).c_str()));
        session.leave();
        return status::kStationSaidNo;
    }
    // "3 contacts of aircraft D-AIPX", "1 contact of ..."
    std::string what = search->what;
    if (items.size() == 1) what.erase(what.find("s of"), 1);
    out.text(format_text("%zu %s %s\n", items.size(), what.c_str(), printable(key).c_str()));
    for (const Packet& p : items) {
        out.event(session.mapper().map(p));
        if (out.json()) continue;
        if (search->request == code::kRecords) {
            auto r = parse_full_record(p.payload);
            out.text(r ? record_block(*r)
                       : format_text("  (unreadable: %s)\n", printable(p.payload).c_str()));
        } else {
            out.text(contact_line(*search, p));
        }
    }
    session.leave();
    return status::kDone;
}

int run_registrations(Session& session) {
    int s = session.start();
    if (s != status::kDone) return s;
    std::string reason;
    std::vector<std::string> names;
    Packet head;
    std::int64_t count = 0;
    for (int attempt = 1;; ++attempt) {
        names.clear();
        int failure = session.send(code::kRegistrations, 0, " ", reason);
        if (failure == status::kDone)
            failure = session.await({code::kRegistrationCount}, session.options().timeout_s, head,
                                    reason);
        if (failure != status::kDone) return session.fail(failure, reason);
        auto f = split_fields(head.payload);
        auto counted = f.size() == 2 ? read_number(f[0]) : std::nullopt;
        auto batch = f.size() == 2 ? read_number(f[1]) : std::nullopt;
        if (!counted || !batch || *counted < 0 || *counted > kMostEntries || *batch < 1)
            return session.fail(
                status::kNotStation,
                format_text("the station's answer does not read: \"%s\"", head.payload.c_str()));
        count = *counted;
        // Batches of fewer than `batch` names come when a batch would pass
        // the packet's size; the list ends with the first short batch that
        // completes the count (possibly empty).
        bool stalled = false;
        for (;;) {
            Packet p;
            failure = session.await({code::kRegistrationBatch, code::kRegistrationCount},
                                    session.options().timeout_s, p, reason);
            if (failure == status::kNoAnswer && static_cast<std::int64_t>(names.size()) >= count)
                break;  // every name came; only the closing empty batch did not
            if (failure == status::kNoAnswer || p.header.code == code::kRegistrationCount) {
                stalled = true;
                break;
            }
            if (failure != status::kDone) return session.fail(failure, reason);
            auto got = parse_registration_batch(p.payload);
            for (std::string& name : got) names.push_back(std::move(name));
            if (static_cast<std::int64_t>(names.size()) >= count &&
                static_cast<std::int64_t>(got.size()) < *batch)
                break;
        }
        if (!stalled) break;
        if (attempt == kListAttempts)
            return session.fail(status::kNoAnswer,
                                format_text("the station stopped its list after %zu names, %d "
                                            "times",
                                            names.size(), kListAttempts));
        session.output().note("the station stopped its list after %zu of %lld names; asking again",
                              names.size(), static_cast<long long>(count));
    }
    Output& out = session.output();
    out.event(session.mapper().map(head));
    for (const std::string& name : names) {
        out.event(registration_to_json(name));
        out.text(printable(name) + "\n");
    }
    session.leave();
    return status::kDone;
}

}  // namespace korvad::client
