#pragma once
// The bridge's messages, each kind's fields named and declared once, in
// order: a table of (type, name) per kind, from which its struct, its schema
// (the field codes of the wire format, bridge/protocol.h) and its conversion
// from and to the generic Message are made. Both sides read and write the
// fields by name; a field added to a table reaches both sides, and the wire
// with it. Portable C++ only, as protocol.h.
//
// Field types: std::int32_t and std::uint32_t travel as 'i', std::uint64_t
// as 'q', Text as 't'.

#include <cstdint>
#include <string>

#include "bridge/protocol.h"

namespace bridge {

// Every request starts with the host thread's context: its locale and its
// last error, as the export would have seen them in the host's process.
#define CORVANEL_CONTEXT(F) F(std::uint32_t, locale) F(std::uint32_t, lastError)

// Requests, module to helper: each export's arguments as the plugin takes
// them. A handle is the plugin's, in the helper; a find record or a
// RemoteInfo record travels as its bytes (absent: a null pointer).
#define CORVANEL_INIT(F) CORVANEL_CONTEXT(F) F(std::int32_t, pluginNumber) F(std::int32_t, callbacks)
#define CORVANEL_ROOT_NAME(F) CORVANEL_CONTEXT(F) F(std::int32_t, size)
#define CORVANEL_FIND_FIRST(F) CORVANEL_CONTEXT(F) F(Text, path) F(Text, record)
#define CORVANEL_FIND_NEXT(F) \
    CORVANEL_CONTEXT(F) F(std::int32_t, handle) F(std::int32_t, most) F(std::int32_t, recordWanted)
#define CORVANEL_FIND_CLOSE(F) CORVANEL_CONTEXT(F) F(std::uint64_t, handle)
#define CORVANEL_PATH(F) CORVANEL_CONTEXT(F) F(Text, path)
#define CORVANEL_REN_MOV_FILE(F)                                                                  \
    CORVANEL_CONTEXT(F) F(Text, oldName) F(Text, newName) F(std::int32_t, move) F(std::int32_t, overWrite) \
    F(Text, remoteInfo)
#define CORVANEL_EXECUTE_FILE(F) CORVANEL_CONTEXT(F) F(std::uint64_t, mainWindow) F(Text, path) F(Text, verb)
#define CORVANEL_GET_FILE(F) \
    CORVANEL_CONTEXT(F) F(Text, remoteName) F(Text, localName) F(std::int32_t, copyFlags) F(Text, remoteInfo)
#define CORVANEL_PUT_FILE(F) CORVANEL_CONTEXT(F) F(Text, localName) F(Text, remoteName) F(std::int32_t, copyFlags)

// Answers to the helper's callbacks, module to helper: what the host's
// callback returned (and, for a request, the text it left).
#define CORVANEL_PROGRESS_ANSWER(F) F(std::int32_t, abort)
#define CORVANEL_LOG_ANSWER(F)
#define CORVANEL_REQUEST_ANSWER(F) F(std::int32_t, answered) F(Text, returned)

// Helper to module: its greeting, the replies, and the host's callbacks as
// the plugin called them (the plugin number first, as it passed it).
#define CORVANEL_READY(F) F(std::uint32_t, version)
#define CORVANEL_RESULT(F) F(std::int32_t, result) F(std::uint32_t, lastError)
#define CORVANEL_FIND_RESULT(F) F(std::int32_t, handle) F(std::uint32_t, lastError) F(Text, record)
#define CORVANEL_FIND_BATCH(F) F(std::uint32_t, region) F(std::uint32_t, entries) F(std::uint32_t, bytes)
#define CORVANEL_ROOT_NAME_RESULT(F) F(Text, name)
#define CORVANEL_PROGRESS(F) F(std::int32_t, pluginNumber) F(Text, source) F(Text, target) F(std::int32_t, percent)
#define CORVANEL_LOG(F) F(std::int32_t, pluginNumber) F(std::int32_t, messageType) F(Text, text)
#define CORVANEL_REQUEST(F)                                                                            \
    F(std::int32_t, pluginNumber) F(std::int32_t, requestType) F(Text, title) F(Text, text) F(Text, shown) \
    F(std::int32_t, size)

// Every message: its struct's name, its kind, its fields.
#define CORVANEL_MESSAGES(M)                                 \
    M(InitRequest, Init, CORVANEL_INIT)                      \
    M(RootNameRequest, RootName, CORVANEL_ROOT_NAME)         \
    M(FindFirstRequest, FindFirst, CORVANEL_FIND_FIRST)      \
    M(FindNextRequest, FindNext, CORVANEL_FIND_NEXT)         \
    M(FindCloseRequest, FindClose, CORVANEL_FIND_CLOSE)      \
    M(MkDirRequest, MkDir, CORVANEL_PATH)                    \
    M(RemoveDirRequest, RemoveDir, CORVANEL_PATH)            \
    M(DeleteFileRequest, DeleteFile, CORVANEL_PATH)          \
    M(RenMovFileRequest, RenMovFile, CORVANEL_REN_MOV_FILE)  \
    M(ExecuteFileRequest, ExecuteFile, CORVANEL_EXECUTE_FILE) \
    M(GetFileRequest, GetFile, CORVANEL_GET_FILE)            \
    M(PutFileRequest, PutFile, CORVANEL_PUT_FILE)            \
    M(ProgressAnswer, ProgressAnswer, CORVANEL_PROGRESS_ANSWER) \
    M(LogAnswer, LogAnswer, CORVANEL_LOG_ANSWER)             \
    M(RequestAnswer, RequestAnswer, CORVANEL_REQUEST_ANSWER) \
    M(Ready, Ready, CORVANEL_READY)                          \
    M(Result, Result, CORVANEL_RESULT)                       \
    M(FindResult, FindResult, CORVANEL_FIND_RESULT)          \
    M(FindBatch, FindBatch, CORVANEL_FIND_BATCH)             \
    M(RootNameResult, RootNameResult, CORVANEL_ROOT_NAME_RESULT) \
    M(Progress, Progress, CORVANEL_PROGRESS)                 \
    M(Log, Log, CORVANEL_LOG)                                \
    M(Request, Request, CORVANEL_REQUEST)

namespace msg {
#define CORVANEL_MEMBER(type, name) type name{};
#define CORVANEL_VISIT(type, name) visit(self.name);
#define CORVANEL_DECLARE(Name, kind, FIELDS)                        \
    struct Name {                                                 \
        static constexpr Kind kKind = Kind::kind;                 \
        FIELDS(CORVANEL_MEMBER)                                   \
        template <typename Self, typename Visit>                  \
        static void Fields(Self& self, Visit&& visit) {           \
            (void)self;                                           \
            (void)visit;                                          \
            FIELDS(CORVANEL_VISIT)                                \
        }                                                         \
    };
CORVANEL_MESSAGES(CORVANEL_DECLARE)
#undef CORVANEL_DECLARE
#undef CORVANEL_VISIT
#undef CORVANEL_MEMBER
}  // namespace msg

namespace detail {

struct Packer {
    Message& message;
    void operator()(std::int32_t value) const { message.Add(value); }
    void operator()(std::uint32_t value) const { message.Add(static_cast<std::int64_t>(value)); }
    void operator()(std::uint64_t value) const { message.Add(static_cast<std::int64_t>(value)); }
    void operator()(const Text& text) const { message.Add(text); }
};

struct Unpacker {
    const Message& message;
    std::size_t number = 0, text = 0;
    void operator()(std::int32_t& value) { value = static_cast<std::int32_t>(message.numbers.at(number++)); }
    void operator()(std::uint32_t& value) { value = static_cast<std::uint32_t>(message.numbers.at(number++)); }
    void operator()(std::uint64_t& value) { value = static_cast<std::uint64_t>(message.numbers.at(number++)); }
    void operator()(Text& value) { value = message.texts.at(text++); }
};

struct SchemaWriter {
    std::string& schema;
    void operator()(std::int32_t) const { schema += 'i'; }
    void operator()(std::uint32_t) const { schema += 'i'; }
    void operator()(std::uint64_t) const { schema += 'q'; }
    void operator()(const Text&) const { schema += 't'; }
};

}  // namespace detail

// A message of kind T::kKind with the fields of `fields`.
template <typename T>
Message Pack(const T& fields) {
    Message message(T::kKind);
    T::Fields(fields, detail::Packer{message});
    return message;
}

// The fields of a decoded message of kind T::kKind. Throws std::out_of_range
// for a message of another shape (a programming fault: Decode checks what the
// peer sent against the schema).
template <typename T>
T As(const Message& message) {
    T fields;
    T::Fields(fields, detail::Unpacker{message});
    return fields;
}

// The field codes of T, as Schema gives them for its kind.
template <typename T>
const char* SchemaOf() {
    static const std::string schema = [] {
        std::string codes;
        const T fields;
        T::Fields(fields, detail::SchemaWriter{codes});
        return codes;
    }();
    return schema.c_str();
}

// A request of type T with the host thread's context.
template <typename T>
T RequestWith(std::uint32_t locale, std::uint32_t lastError) {
    T request;
    request.locale = locale;
    request.lastError = lastError;
    return request;
}

}  // namespace bridge
