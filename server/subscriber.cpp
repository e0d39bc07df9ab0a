#include "server/subscriber.h"

#include <strings.h>

namespace korvad {

namespace {

bool read_subscriber(ItemReader& in, std::unique_ptr<Subscriber>& record) {
    auto subscriber = std::make_unique<Subscriber>();
    if (!in.read_string(subscriber->email) || !in.read_byte(subscriber->flags) ||
        !in.read_int32(subscriber->auth_code)) {
        return false;
    }
    record = std::move(subscriber);
    return true;
}

bool write_subscriber(std::FILE* out, const Subscriber& record) {
    return write_string_item(out, record.email) && std::fputc(record.flags, out) != EOF &&
           write_le32(out, record.auth_code);
}

}  // namespace

int compare_subscriber_email(const Subscriber& a, const Subscriber& b) {
    return strcasecmp(a.email ? a.email->c_str() : "", b.email ? b.email->c_str() : "");
}

SubscriberList make_subscriber_list(std::int32_t limit, std::int32_t delta) {
    return SubscriberList(limit, delta, &compare_subscriber_email,
                          ItemCodec<Subscriber>{&read_subscriber, &write_subscriber});
}

}  // namespace korvad
