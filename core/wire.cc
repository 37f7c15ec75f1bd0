// serialize_request, the TokenRequest of a token exchange, and
// within_field_limit, the scan that bounds an answer before it is unpacked.
// The archive is in core/archive.cc, the post in core/post_request.cc.
#include "core/wire.h"

#include <cstdint>
#include <string>
#include <vector>

#include "core/risk.pb-c.h"
#include "core/risk_sdk.h"

namespace risk {
namespace {

constexpr int32_t kFormatVersion = 1;

// Packs message into a string with the protobuf-c runtime.
template <typename Message>
std::string pack_message(const Message& message) {
  const auto* base = reinterpret_cast<const ProtobufCMessage*>(&message);
  std::string out(protobuf_c_message_get_packed_size(base), '\0');
  if (!out.empty()) {
    protobuf_c_message_pack(base, reinterpret_cast<uint8_t*>(&out[0]));
  }
  return out;
}

// protobuf-c keeps strings as C strings; the map's texts outlive the message.
char* text_field(const std::string& text) { return const_cast<char*>(text.c_str()); }

}  // namespace

std::string serialize_request(const RiskApp& app, const std::string& previous_token,
                              const StringMap& data) {
  const RiskSdk& sdk = *app.sdk();
  const SdkFacts& facts = sdk.facts();

  std::vector<Risk__KeyValue> values;
  values.reserve(data.size());
  for (const auto& entry : data) {
    if (entry.second.empty()) continue;
    Risk__KeyValue value = RISK__KEY_VALUE__INIT;
    value.key = text_field(entry.first);
    value.value = text_field(entry.second);
    values.push_back(value);
  }
  std::vector<Risk__KeyValue*> entries;
  entries.reserve(values.size());
  for (Risk__KeyValue& value : values) entries.push_back(&value);
  Risk__KeyValueList list = RISK__KEY_VALUE_LIST__INIT;
  list.n_entries = entries.size();
  list.entries = entries.data();
  std::string body = pack_message(list);

  Risk__RequestHeader header = RISK__REQUEST_HEADER__INIT;
  header.sdk_version = text_field(facts.sdk_version);
  header.app_version_name = text_field(facts.app_version_name);
  // The field holds the low 32 bits of the version code.
  int32_t version_code = static_cast<int32_t>(static_cast<uint32_t>(facts.app_version_code));
  header.has_app_version_code = version_code != 0;
  header.app_version_code = version_code;
  header.app_key = text_field(app.app_key());
  header.has_os_type = 1;
  header.os_type = static_cast<Risk__OsType>(facts.os_type);
  header.os_version = text_field(facts.os_version);
  if (!previous_token.empty()) header.ulvok = text_field(previous_token);
  header.has_format_version = 1;
  header.format_version = kFormatVersion;
  header.app_name = text_field(facts.app_name);
  header.has_sdk_variant = sdk.sdk_variant() != 0;
  header.sdk_variant = static_cast<Risk__SdkVariant>(sdk.sdk_variant());

  Risk__TokenRequest request = RISK__TOKEN_REQUEST__INIT;
  request.header = &header;
  request.command = RISK__COMMAND__COMMAND_TOKEN;
  request.body.len = body.size();
  request.body.data = reinterpret_cast<uint8_t*>(&body[0]);
  return pack_message(request);
}

namespace {

// Protocol-buffer wire types (the low three bits of a tag).
constexpr uint64_t kWireVarint = 0;
constexpr uint64_t kWireFixed64 = 1;
constexpr uint64_t kWireLengthDelimited = 2;
constexpr uint64_t kWireFixed32 = 5;
// A varint holds at most 64 bits in 10 bytes; a tag at most 32 bits in 5.
constexpr size_t kMaxVarintBytes = 10;
constexpr size_t kMaxTagBytes = 5;

// Reads a varint of at most max_bytes bytes at *at, below end; advances *at.
// False when it does not end in time.
bool read_varint(const uint8_t** at, const uint8_t* end, size_t max_bytes, uint64_t* value) {
  uint64_t result = 0;
  for (size_t i = 0; i < max_bytes && *at < end; ++i) {
    const uint8_t byte = *(*at)++;
    result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      *value = result;
      return true;
    }
  }
  return false;
}

}  // namespace

bool within_field_limit(const uint8_t* data, size_t size, size_t max_fields) {
  const uint8_t* at = data;
  const uint8_t* const end = data + size;
  size_t fields = 0;
  while (at < end) {
    if (++fields > max_fields) return false;
    uint64_t tag = 0;
    if (!read_varint(&at, end, kMaxTagBytes, &tag) || (tag >> 3) == 0) return false;
    uint64_t skip = 0;
    switch (tag & 7) {
      case kWireVarint: {
        uint64_t ignored = 0;
        if (!read_varint(&at, end, kMaxVarintBytes, &ignored)) return false;
        continue;
      }
      case kWireFixed64:
        skip = 8;
        break;
      case kWireFixed32:
        skip = 4;
        break;
      case kWireLengthDelimited:
        if (!read_varint(&at, end, kMaxVarintBytes, &skip)) return false;
        break;
      default:
        return false;  // groups and the reserved types
    }
    if (skip > static_cast<uint64_t>(end - at)) return false;
    at += skip;
  }
  return true;
}

}  // namespace risk
