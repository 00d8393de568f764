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

// Every message: its struct's name, its kind, and its fields in order.
// Requests, module to helper, carry each export's arguments as the plugin
// takes them: a handle is the plugin's, in the helper; a find record or a
// RemoteInfo record travels as its bytes (absent: a null pointer). Answers,
// module to helper, carry what the host's callback returned (and, for a
// request, the text it left). From the helper: its greeting, the replies,
// and the host's callbacks as the plugin called them.
#define CORVANEL_MESSAGES(M, F) \
    M(InitRequest, Init, CORVANEL_CONTEXT(F) F(std::int32_t, pluginNumber) F(std::int32_t, callbacks)) \
    M(RootNameRequest, RootName, CORVANEL_CONTEXT(F) F(std::int32_t, size)) \
    M(FindFirstRequest, FindFirst, CORVANEL_CONTEXT(F) F(Text, path) F(Text, record)) \
    M(FindNextRequest, FindNext, \
      CORVANEL_CONTEXT(F) F(std::int32_t, handle) F(std::int32_t, most) F(std::int32_t, recordWanted)) \
    M(FindCloseRequest, FindClose, CORVANEL_CONTEXT(F) F(std::uint64_t, handle)) \
    M(MkDirRequest, MkDir, CORVANEL_CONTEXT(F) F(Text, path)) \
    M(RemoveDirRequest, RemoveDir, CORVANEL_CONTEXT(F) F(Text, path)) \
    M(DeleteFileRequest, DeleteFile, CORVANEL_CONTEXT(F) F(Text, path)) \
    M(RenMovFileRequest, RenMovFile, \
      CORVANEL_CONTEXT(F) F(Text, oldName) F(Text, newName) F(std::int32_t, move) F(std::int32_t, overWrite) \
          F(Text, remoteInfo)) \
    M(ExecuteFileRequest, ExecuteFile, \
      CORVANEL_CONTEXT(F) F(std::uint64_t, mainWindow) F(Text, path) F(Text, verb)) \
    M(GetFileRequest, GetFile, \
      CORVANEL_CONTEXT(F) F(Text, remoteName) F(Text, localName) F(std::int32_t, copyFlags) \
          F(Text, remoteInfo)) \
    M(PutFileRequest, PutFile, \
      CORVANEL_CONTEXT(F) F(Text, localName) F(Text, remoteName) F(std::int32_t, copyFlags)) \
    M(ProgressAnswer, ProgressAnswer, F(std::int32_t, abort)) \
    M(LogAnswer, LogAnswer, ) \
    M(RequestAnswer, RequestAnswer, F(std::int32_t, answered) F(Text, returned)) \
    M(Ready, Ready, F(std::uint32_t, version)) \
    M(Result, Result, F(std::int32_t, result) F(std::uint32_t, lastError)) \
    M(FindResult, FindResult, F(std::int32_t, handle) F(std::uint32_t, lastError) F(Text, record)) \
    M(FindBatch, FindBatch, F(std::uint32_t, region) F(std::uint32_t, entries) F(std::uint32_t, bytes)) \
    M(RootNameResult, RootNameResult, F(Text, name)) \
    M(Progress, Progress, \
      F(std::int32_t, pluginNumber) F(Text, source) F(Text, target) F(std::int32_t, percent)) \
    M(Log, Log, F(std::int32_t, pluginNumber) F(std::int32_t, messageType) F(Text, text)) \
    M(Request, Request, \
      F(std::int32_t, pluginNumber) F(std::int32_t, requestType) F(Text, title) F(Text, text) F(Text, shown) \
          F(std::int32_t, size))

// Each message's struct: its kind, its fields as members, and Fields, which
// visits them in order (declared in the first pass, defined in the second).
namespace msg {
#define CORVANEL_MEMBER(type, name) type name{};
#define CORVANEL_DECLARE(Name, kind, fields) \
    struct Name { \
        static constexpr Kind kKind = Kind::kind; \
        fields \
        template <typename Self, typename Visit> \
        static void Fields(Self& self, Visit&& visit); \
    };
CORVANEL_MESSAGES(CORVANEL_DECLARE, CORVANEL_MEMBER)
#define CORVANEL_VISIT(type, name) visit(self.name);
#define CORVANEL_DEFINE(Name, kind, fields) \
    template <typename Self, typename Visit> \
    void Name::Fields(Self& self, Visit&& visit) { \
        (void)self; \
        (void)visit; \
        fields \
    }
CORVANEL_MESSAGES(CORVANEL_DEFINE, CORVANEL_VISIT)
#undef CORVANEL_DEFINE
#undef CORVANEL_VISIT
#undef CORVANEL_DECLARE
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
    std::int64_t Next() { return message.numbers.at(number++); }
    void operator()(std::int32_t& value) { value = static_cast<std::int32_t>(Next()); }
    void operator()(std::uint32_t& value) { value = static_cast<std::uint32_t>(Next()); }
    void operator()(std::uint64_t& value) { value = static_cast<std::uint64_t>(Next()); }
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
