#include "ampwardenctl/AnswerDecoder.h"

#include <cstring>

namespace ampwarden::ctl {
namespace {

// Storage for any basic D-Bus type, as sd_bus_message_read_basic() fills it.
union BasicStorage {
    std::uint8_t u8;
    int boolean;
    std::int16_t i16;
    std::uint16_t u16;
    std::int32_t i32;
    std::uint32_t u32;
    std::int64_t i64;
    std::uint64_t u64;
    double d;
    const char* text;
};

void storeBasic(char type, const BasicStorage& storage, AnswerValue& value) {
    switch (type) {
        case 'y':
            value.value = std::uint64_t{storage.u8};
            break;
        case 'b':
            value.value = storage.boolean != 0;
            break;
        case 'n':
            value.value = std::int64_t{storage.i16};
            break;
        case 'q':
            value.value = std::uint64_t{storage.u16};
            break;
        case 'i':
            value.value = std::int64_t{storage.i32};
            break;
        case 'u':
            value.value = std::uint64_t{storage.u32};
            break;
        case 'x':
            value.value = storage.i64;
            break;
        case 't':
            value.value = storage.u64;
            break;
        case 'd':
            value.value = storage.d;
            break;
        case 's':
        case 'o':
        case 'g':
            value.value = std::string(storage.text);
            break;
        default:
            break;  // 'h': a descriptor number means nothing to the reader
    }
}

// Reads the variant's content (signature `contents`); a container is skipped, kept by type.
int readVariantContent(sd_bus_message* message, const char* contents, AnswerValue& value) {
    value.signature = contents;
    bool basic = std::strlen(contents) == 1 && std::strchr("ybnqiuxtdsogh", contents[0]);
    if (!basic) return sd_bus_message_skip(message, contents);
    BasicStorage storage{};
    int r = sd_bus_message_read_basic(message, contents[0], &storage);
    if (r >= 0) storeBasic(contents[0], storage, value);
    return r;
}

// Reads one {sv} entry whose container is already entered.
int readEntry(sd_bus_message* message, Answer& answer) {
    const char* key = nullptr;
    int r = sd_bus_message_read(message, "s", &key);
    if (r < 0) return r;
    const char* contents = nullptr;
    r = sd_bus_message_peek_type(message, nullptr, &contents);
    if (r < 0) return r;
    r = sd_bus_message_enter_container(message, 'v', contents);
    if (r < 0) return r;
    AnswerValue value;
    r = readVariantContent(message, contents, value);
    if (r < 0) return r;
    answer.values.emplace_back(key, std::move(value));
    return sd_bus_message_exit_container(message);
}

int readDictionary(sd_bus_message* message, Answer& answer) {
    int r = sd_bus_message_enter_container(message, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        r = readEntry(message, answer);
        if (r < 0) return r;
        r = sd_bus_message_exit_container(message);
        if (r < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(message);
}

}  // namespace

std::optional<Answer> decodeAnswer(sd_bus_message* message, std::string& error) {
    if (sd_bus_message_has_signature(message, "sa{sv}") <= 0) {
        const char* signature = sd_bus_message_get_signature(message, 1);
        error = std::string("an answer with the signature '") + (signature ? signature : "") +
                "' instead of 'sa{sv}'";
        return std::nullopt;
    }
    Answer answer;
    const char* name = nullptr;
    int r = sd_bus_message_read(message, "s", &name);
    if (r >= 0) {
        answer.name = name;
        r = readDictionary(message, answer);
    }
    if (r < 0) {
        error = std::string("an unreadable answer: ") + std::strerror(-r);
        return std::nullopt;
    }
    return answer;
}

}  // namespace ampwarden::ctl
