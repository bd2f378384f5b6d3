/* The C interface between larkspire-server and its plug-ins.
 *
 * A plug-in is a shared library that exports one function, larkspire_plugin_info, returning a
 * description with its name and its call function. The server finds plug-ins in the folders
 * given by --plugins (every file ending in ".so"), and runs every call of command 500 in a
 * helper process of its own (larkspire-plugin-runner), so a plug-in that crashes ends only that
 * process, and one that does not answer within --plugin-timeout-ms is killed; either way the
 * client gets a failed reply that says so. A runner process is kept warm and serves call after
 * call of its plug-in, one at a time, so a plug-in must not rely on state from an earlier call
 * (nor on its absence: after a crash the next call runs in a fresh process). The process
 * inherits the server's environment (DISPLAY, the current folder) and standard error (the
 * server's log); what a plug-in writes to standard output goes to standard error too.
 *
 * Values cross the interface in the wire layout of a parameter container, so a plug-in needs
 * nothing of the server's C++ code:
 *
 *   Count      int32 little-endian     number of entries
 *   then Count entries of
 *   NameLength int32 little-endian
 *   Name       NameLength bytes          in the code page named by the call, no terminator
 *   DataType   1 byte                    LARKSPIRE_PDT_*
 *   DataSize   int32 little-endian
 *   Data       DataSize bytes            int32/int64/double little-endian, boolean 1 or 0,
 *                                        extended the x87 80-bit format, text in the code page
 *                                        without terminator, stream bytes as they are
 *
 * The request a plug-in receives has been checked against this layout. The answer it sets is
 * checked too: an answer that does not follow the layout fails the call.
 *
 * A minimal plug-in:
 *
 *   static int Call(const LarkspirePluginCall* call) {
 *     static const unsigned char answer[4] = {0, 0, 0, 0};   // an empty container
 *     call->reply->set_answer(call->reply, answer, sizeof answer);
 *     return 0;
 *   }
 *   static const LarkspirePluginInfo kInfo = {LARKSPIRE_PLUGIN_INTERFACE_VERSION, "Nothing", Call};
 *   LARKSPIRE_PLUGIN_EXPORT const LarkspirePluginInfo* larkspire_plugin_info(void) {
 *     return &kInfo;
 *   }
 *
 * Thread-safety: the runner calls a plug-in from its main thread, one call after another.
 */
#ifndef LARKSPIRE_SERVER_LARKSPIRE_PLUGIN_H_
#define LARKSPIRE_SERVER_LARKSPIRE_PLUGIN_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
#define LARKSPIRE_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define LARKSPIRE_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

#define LARKSPIRE_PLUGIN_INTERFACE_VERSION 1u
/* The name of the one function a plug-in exports. */
#define LARKSPIRE_PLUGIN_ENTRY "larkspire_plugin_info"

/* The type tags of values. */
enum {
  LARKSPIRE_PDT_INTEGER = 0,
  LARKSPIRE_PDT_INT64 = 1,
  LARKSPIRE_PDT_STRING = 2,
  LARKSPIRE_PDT_BOOLEAN = 3,
  LARKSPIRE_PDT_DOUBLE = 4,
  LARKSPIRE_PDT_EXTENDED = 5,
  LARKSPIRE_PDT_STREAM = 6
};

#ifdef __cplusplus
extern "C" {
#endif

/* Where a plug-in leaves its outcome. Both functions copy what they are given. */
typedef struct LarkspirePluginReply LarkspirePluginReply;
struct LarkspirePluginReply {
  void* host; /* the runner's; not for the plug-in */
  /* Sets the answer: a container in the layout above (replacing any earlier answer). */
  void (*set_answer)(LarkspirePluginReply* reply, const void* bytes, size_t size);
  /* Sets the error text (UTF-8) that the client receives when the call returns non-zero. */
  void (*set_error)(LarkspirePluginReply* reply, const char* message);
};

/* One call. */
typedef struct LarkspirePluginCall {
  const unsigned char* request; /* the request container */
  size_t request_size;
  const char* codepage; /* the code page of names and texts, an iconv name such as "UTF-8" */
  LarkspirePluginReply* reply;
} LarkspirePluginCall;

typedef struct LarkspirePluginInfo {
  uint32_t interface_version; /* LARKSPIRE_PLUGIN_INTERFACE_VERSION */
  const char* name; /* the name clients call it by (UTF-8; compared ignoring ASCII case) */
  /* Runs the call: returns 0 after set_answer, or non-zero after set_error. */
  int (*call)(const LarkspirePluginCall* call);
} LarkspirePluginInfo;

typedef const LarkspirePluginInfo* (*LarkspirePluginInfoFunction)(void);

/* One entry of a container, pointing into its bytes. */
typedef struct LarkspirePluginEntry {
  const char* name;
  int32_t name_length;
  uint8_t type;
  const unsigned char* data;
  int32_t size;
} LarkspirePluginEntry;

static inline int32_t larkspire_plugin_int32_at(const unsigned char* p) {
  return (int32_t)((uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                   ((uint32_t)p[3] << 24));
}

/* Finds the first entry whose name equals name ignoring ASCII letter case. Returns 1 and fills
 * entry when found, 0 when not, -1 when the bytes do not follow the layout. */
static inline int larkspire_plugin_find(const unsigned char* bytes, size_t size, const char* name,
                                        LarkspirePluginEntry* entry) {
  size_t at = 4, wanted = strlen(name);
  int32_t count, index;
  if (size < 4) return -1;
  count = larkspire_plugin_int32_at(bytes);
  if (count < 0) return -1;
  for (index = 0; index < count; ++index) {
    int32_t name_length, data_size;
    size_t i;
    int same;
    if (size - at < 4) return -1;
    name_length = larkspire_plugin_int32_at(bytes + at);
    at += 4;
    if (name_length < 0 || (size_t)name_length > size - at) return -1;
    same = (size_t)name_length == wanted;
    for (i = 0; same && i < wanted; ++i) {
      unsigned char a = bytes[at + i], b = (unsigned char)name[i];
      if (a >= 'A' && a <= 'Z') a = (unsigned char)(a - 'A' + 'a');
      if (b >= 'A' && b <= 'Z') b = (unsigned char)(b - 'A' + 'a');
      same = a == b;
    }
    entry->name = (const char*)(bytes + at);
    entry->name_length = name_length;
    at += (size_t)name_length;
    if (size - at < 5) return -1;
    entry->type = bytes[at];
    data_size = larkspire_plugin_int32_at(bytes + at + 1);
    at += 5;
    if (data_size < 0 || (size_t)data_size > size - at) return -1;
    entry->data = bytes + at;
    entry->size = data_size;
    at += (size_t)data_size;
    if (same) return 1;
  }
  return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* LARKSPIRE_SERVER_LARKSPIRE_PLUGIN_H_ */
