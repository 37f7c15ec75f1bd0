#include "bridge/napi_helpers.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/log.h"

namespace risk {

bool clear_exception(napi_env env) {
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) != napi_ok || !pending) return false;
  napi_value ignored = nullptr;
  napi_get_and_clear_last_exception(env, &ignored);
  return true;
}

napi_status call_js_method(napi_env env, napi_value object, const char* name, size_t argc,
                           const napi_value* argv, napi_value* result) {
  napi_value function = nullptr;
  napi_status status = napi_get_named_property(env, object, name, &function);
  if (status != napi_ok) {
    log_message("fail to get function %s", name);
    clear_exception(env);
    return status;
  }
  return napi_call_function(env, object, function, argc, argv, result);
}

namespace {

// The member name of object into value; a failure is logged and leaves no
// pending exception. A value that is not an object (or function) has no
// members of its own: the engine would box a primitive and read undefined,
// so it fails here, logged like a missing member.
napi_status named_property(napi_env env, napi_value object, const char* name, napi_value* value) {
  if (object == nullptr) return napi_object_expected;
  napi_valuetype type = napi_undefined;
  if (napi_typeof(env, object, &type) != napi_ok ||
      (type != napi_object && type != napi_function)) {
    log_message("get function object fail %s", name);
    return napi_object_expected;
  }
  const napi_status status = napi_get_named_property(env, object, name, value);
  if (status != napi_ok) {
    log_message("get function object fail %s", name);
    clear_exception(env);
  }
  return status;
}

}  // namespace

napi_status get_int64_property(napi_env env, napi_value object, const char* name, int64_t* out) {
  napi_value value = nullptr;
  napi_status status = named_property(env, object, name, &value);
  if (status != napi_ok) return status;
  int64_t number = 0;
  status = napi_get_value_int64(env, value, &number);
  if (status != napi_ok) {
    log_message("get js int64 number fail");
    return status;
  }
  *out = number;
  return napi_ok;
}

napi_status get_string_property(napi_env env, napi_value object, const char* name,
                                std::string* out) {
  napi_value value = nullptr;
  const napi_status status = named_property(env, object, name, &value);
  if (status != napi_ok) return status;
  *out = js_to_string(env, value);
  return napi_ok;
}

std::string js_to_string(napi_env env, napi_value value) {
  size_t length = 0;
  if (value == nullptr || napi_get_value_string_utf8(env, value, nullptr, 0, &length) != napi_ok) {
    return std::string();
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[length + 1]);
  if (!buffer) return std::string();
  size_t copied = 0;
  if (napi_get_value_string_utf8(env, value, buffer.get(), length + 1, &copied) != napi_ok) {
    return std::string();
  }
  return std::string(buffer.get(), copied);
}

void read_post_response(napi_env env, napi_value response, size_t max_body, int64_t* code,
                        std::string* body) {
  if (get_int64_property(env, response, "responseCode", code) != napi_ok) {
    log_message("get js responseCode object fail");
  }
  int64_t type = 0;
  if (get_int64_property(env, response, "resultType", &type) != napi_ok) {
    log_message("get js resultType object fail");
    type = 0;
  }
  napi_value result = nullptr;
  if (response == nullptr || napi_get_named_property(env, response, "result", &result) != napi_ok) {
    log_message("get js result object fail");
    clear_exception(env);
    return;
  }
  // A body no valid answer can have is not copied: the size is known
  // before any byte leaves the engine.
  auto refused = [max_body](size_t length) {
    if (length <= max_body) return false;
    log_message("http response body of %zu bytes exceeds %zu, refused", length, max_body);
    return true;
  };
  switch (type) {
    case 0: {
      size_t length = 0;
      if (napi_get_value_string_utf8(env, result, nullptr, 0, &length) == napi_ok &&
          !refused(length)) {
        *body = js_to_string(env, result);
      }
      break;
    }
    case 2: {
      void* data = nullptr;
      size_t length = 0;
      if (napi_get_arraybuffer_info(env, result, &data, &length) == napi_ok && length > 0 &&
          !refused(length)) {
        body->assign(static_cast<const char*>(data), length);
      }
      break;
    }
    case 1:
      log_message("js response return an object, do nothing");
      break;
    default:
      log_message("unknown response type");
      break;
  }
}

std::string get_os_version(napi_env env, napi_value bridge) {
  napi_value result = nullptr;
  if (call_js_method(env, bridge, "getOsVersion", 0, nullptr, &result) != napi_ok) {
    clear_exception(env);
    return std::string();
  }
  return js_to_string(env, result);
}

napi_status make_text(napi_env env, const std::string& text, napi_value* out) {
  return napi_create_string_utf8(env, text.data(), text.size(), out);
}

napi_status make_bytes(napi_env env, const std::string& bytes, napi_value* out) {
  void* data = nullptr;
  napi_status status = napi_create_arraybuffer(env, bytes.size(), &data, out);
  if (status == napi_ok && !bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return status;
}

napi_value undefined_value(napi_env env) {
  napi_value value = nullptr;
  napi_get_undefined(env, &value);
  return value;
}

napi_value js_string(napi_env env, const std::string& text) {
  napi_value value = nullptr;
  napi_create_string_utf8(env, text.data(), text.size(), &value);
  return value;
}

}  // namespace risk
