// The command word and its arguments: checked here, before any connection.

#include <cstdint>
#include <cstring>

#include "client/commands.h"
#include "client/text_forms.h"
#include "common/format.h"

namespace korvad::client {

namespace {

struct CommandShape {
    const char* name;
    std::size_t arguments;
    const char* usage;
};

constexpr CommandShape kCommands[] = {
    {"watch", 0, "watch"},
    {"info", 0, "info"},
    {"aircraft", 1, "aircraft REGISTRATION"},
    {"flight", 1, "flight FLIGHT"},
    {"records", 1, "records REGISTRATION"},
    {"registrations", 0, "registrations"},
    {"report", 1, "report NAME [-o FILE]"},
    {"chat", 1, "chat NICK"},
    {"subscribe", 1, "subscribe EMAIL"},
    {"confirm", 2, "confirm EMAIL CODE"},
    {"pause", 2, "pause EMAIL CODE"},
    {"unsubscribe", 2, "unsubscribe EMAIL CODE"},
    {"format", 2, "format EMAIL anad|korvad"},
    {"correct", 3, "correct flights|airlines|types KEY VALUE"},
    {"delete", 4, "delete REGISTRATION FLIGHT TIME CODE"},
};

// Every argument goes into a request as one field: it must be one.
const char* field_fault(const std::string& value) {
    if (value.empty()) return "is empty";
    if (!is_plain_field(value)) return "holds a tab or a line break, or is too long";
    return nullptr;
}

}  // namespace

int run_command(const ClientOptions& options, const std::string& command, const Arguments& args,
                Output& output, const volatile std::sig_atomic_t* stop) {
    const CommandShape* shape = nullptr;
    for (const CommandShape& c : kCommands)
        if (command == c.name) shape = &c;
    if (shape == nullptr)
        return output.fail(status::kUsage,
                           format_text("unknown command \"%s\" (korvadclient --help lists them)",
                                       command.c_str()));
    if (args.size() != shape->arguments)
        return output.fail(status::kUsage,
                           format_text("usage: korvadclient [options] HOST %s", shape->usage));
    if (!options.output.empty() && command != "report")
        return output.fail(status::kUsage, "-o FILE belongs to the report command");
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (const char* fault = field_fault(args[i]))
            return output.fail(status::kUsage,
                               format_text("argument %zu of %s %s", i + 1, command.c_str(), fault));
    }
    if (command == "report" && !is_plain_file_name(args[0]))
        return output.fail(status::kUsage,
                           format_text("report \"%s\" refused: a report name is a file of the "
                                       "station's report folder, without \"/\"",
                                       args[0].c_str()));
    if (command == "confirm" || command == "pause" || command == "unsubscribe") {
        auto code = read_number(args[1]);
        if (!code || *code < INT32_MIN || *code > INT32_MAX)
            return output.fail(
                status::kUsage,
                format_text("the authorisation code \"%s\" is not a number", args[1].c_str()));
    }
    if (command == "format" && args[1] != "anad" && args[1] != "korvad")
        return output.fail(status::kUsage, "the report format is anad or korvad");
    if (command == "correct" && args[0] != "flights" && args[0] != "airlines" && args[0] != "types")
        return output.fail(status::kUsage, "correct names a database: flights, airlines or types");
    if (command == "delete" && !read_number(args[2]))
        return output.fail(
            status::kUsage,
            format_text("the time \"%s\" is not a number of seconds since 1970", args[2].c_str()));

    Session session(options, output, stop);
    if (command == "watch") return run_watch(session);
    if (command == "info") return run_info(session);
    if (command == "aircraft" || command == "flight" || command == "records")
        return run_contacts(session, command, args[0]);
    if (command == "registrations") return run_registrations(session);
    if (command == "report") return run_report(session, args[0]);
    if (command == "chat") return run_chat(session, args[0], 0);
    if (command == "correct") return run_correction(session, args);
    if (command == "delete") return run_delete(session, args);
    return run_subscription(session, command, args);
}

}  // namespace korvad::client
