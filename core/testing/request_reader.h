// Reads a serialized TokenRequest back with the protobuf-c runtime and the
// descriptors generated from core/risk.proto (not with the library's own
// serializer), for the token tests. Test-only; header-only; any thread.
#ifndef RISK_CORE_TESTING_REQUEST_READER_H_
#define RISK_CORE_TESTING_REQUEST_READER_H_

#include <string>

#include "base/types.h"
#include "core/risk.pb-c.h"

namespace risk {
namespace testing {

struct ReadRequest {
  bool ok = false;  // the bytes parsed as a TokenRequest with a KeyValueList
  int command = 0;
  std::string app_key;
  bool has_previous = false;  // header field 7 present
  std::string previous;
  StringMap data;  // the KeyValueList entries
};

inline ReadRequest read_request(const std::string& bytes) {
  ReadRequest out;
  Risk__TokenRequest* request = risk__token_request__unpack(
      nullptr, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
  if (request == nullptr) return out;
  out.command = request->command;
  if (request->header != nullptr) {
    if (request->header->app_key != nullptr) out.app_key = request->header->app_key;
    if (request->header->ulvok != nullptr) {
      out.has_previous = true;
      out.previous = request->header->ulvok;
    }
  }
  Risk__KeyValueList* list =
      risk__key_value_list__unpack(nullptr, request->body.len, request->body.data);
  if (list != nullptr) {
    out.ok = true;
    for (size_t i = 0; i < list->n_entries; ++i) {
      out.data[list->entries[i]->key] = list->entries[i]->value;
    }
    risk__key_value_list__free_unpacked(list, nullptr);
  }
  risk__token_request__free_unpacked(request, nullptr);
  return out;
}

}  // namespace testing
}  // namespace risk

#endif  // RISK_CORE_TESTING_REQUEST_READER_H_
