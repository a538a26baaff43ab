// Registry reading: RegOpenKeyExW, RegQueryValueExW, RegCloseKey over the machine's
// registry store. The store is read again on every call, so a value that another
// process (winsim reg) changed is seen at once, as on Windows.
//
// Choices where the documentation leaves the behaviour open:
// - A failed open stores null in *result.
// - Empty components are ignored, so a trailing backslash names the same key.
// - A key opened from an open key without a view flag stays in the parent's view.
// - ulOptions other than 0 or REG_OPTION_OPEN_LINK, a null result pointer, a non-null
//   reserved pointer and data without a size are refused with ERROR_INVALID_PARAMETER.
// - A key deleted while open answers ERROR_KEY_DELETED.
// - When data does not fit, the buffer is left untouched (its content is undefined).
// - Closing a predefined root key succeeds and does nothing.
#include <algorithm>

#include "platform/advapi32_registry.h"
#include "platform/errors.h"
#include "sim/advapi32/registry_store.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

using namespace sim;

namespace {

class OpenKey : public KernelObject {
 public:
  OpenKey(RegistryRoot root, std::u16string path, RegistryView view)
      : root_(root), path_(std::move(path)), view_(view) {}
  std::string Kind() const override { return "key"; }
  std::string Describe() const override { return ToUtf8(path_); }

  RegistryRoot root() const { return root_; }
  const std::u16string& path() const { return path_; }  // stored path, root included
  RegistryView view() const { return view_; }

 private:
  RegistryRoot root_;
  std::u16string path_;
  RegistryView view_;
};

std::optional<RegistryRoot> PredefinedRoot(HKEY key) {
  if (key == HKEY_CURRENT_USER) return RegistryRoot::kCurrentUser;
  if (key == HKEY_LOCAL_MACHINE) return RegistryRoot::kLocalMachine;
  return std::nullopt;
}

// What a key handle stands for: a predefined root or an open key of this process.
struct KeyTarget {
  RegistryRoot root;
  std::u16string path;
  RegistryView view;
  DWORD access;
};

std::optional<KeyTarget> Resolve(HKEY key) {
  if (auto root = PredefinedRoot(key)) {
    return KeyTarget{*root, std::u16string(RootName(*root)), RegistryView::k64, 0xFFFFFFFF};
  }
  HandleEntry* entry = CurrentProcess().handles().Find(key);
  if (entry == nullptr) return std::nullopt;
  auto open = std::dynamic_pointer_cast<OpenKey>(entry->object);
  if (!open) return std::nullopt;
  return KeyTarget{open->root(), open->path(), open->view(), entry->access};
}

// The part of a stored path below its root.
std::u16string_view BelowRoot(const std::u16string& path) {
  const size_t separator = path.find(u'\\');
  return separator == std::u16string::npos ? std::u16string_view() : std::u16string_view(path).substr(separator + 1);
}

std::string KeyText(HKEY key) {
  if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  return Pointer(key);
}

std::string StatusText(LSTATUS status) { return status == 0 ? "ERROR_SUCCESS" : Decimal(static_cast<DWORD>(status)); }

}  // namespace

extern "C" LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired, HKEY* result) {
  Process& process = CurrentProcess();
  TraceLine trace("RegOpenKeyExW");
  trace.Arg(KeyText(key)).Arg(Quoted(sub_key)).Arg(Hex(options)).Arg(Hex(desired));
  auto fail = [&](DWORD status) {
    if (result != nullptr) *result = nullptr;
    trace.Result(StatusText(static_cast<LSTATUS>(status)));
    return static_cast<LSTATUS>(status);
  };
  if (result == nullptr || (options != 0 && options != REG_OPTION_OPEN_LINK) ||
      (desired & (KEY_WOW64_32KEY | KEY_WOW64_64KEY)) == (KEY_WOW64_32KEY | KEY_WOW64_64KEY)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const std::optional<KeyTarget> parent = Resolve(key);
  if (!parent) return fail(ERROR_INVALID_HANDLE);
  if (auto fault = process.TakeFault("RegOpenKeyExW")) return fail(*fault);

  RegistryView view = parent->view;
  if ((desired & KEY_WOW64_32KEY) != 0) view = RegistryView::k32;
  if ((desired & KEY_WOW64_64KEY) != 0) view = RegistryView::k64;
  std::u16string relative(BelowRoot(parent->path));
  if (!View(sub_key).empty()) relative += u"\\" + std::u16string(View(sub_key));
  const std::u16string path = ViewPath(parent->root, relative, view);

  const RegistryStore store(process.machine().root());
  if (store.FindKey(parent->path) == nullptr) return fail(ERROR_KEY_DELETED);
  const RegistryKey* found = store.FindKey(path);
  if (found == nullptr) return fail(ERROR_FILE_NOT_FOUND);
  const REGSAM access = desired & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  *result = static_cast<HKEY>(process.handles().Insert(std::make_shared<OpenKey>(parent->root, found->path, view), access));
  trace.Result("ERROR_SUCCESS " + Pointer(*result) + " " + Quoted(found->path));
  return ERROR_SUCCESS;
}

extern "C" LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, BYTE* data,
                                    LPDWORD data_size) {
  Process& process = CurrentProcess();
  TraceLine trace("RegQueryValueExW");
  trace.Arg(KeyText(key)).Arg(Quoted(value_name)).Arg(Pointer(data)).Arg(data_size ? Decimal(*data_size) : "null");
  auto fail = [&](DWORD status) {
    trace.Result(StatusText(static_cast<LSTATUS>(status)));
    return static_cast<LSTATUS>(status);
  };
  if (reserved != nullptr || (data != nullptr && data_size == nullptr)) return fail(ERROR_INVALID_PARAMETER);
  const std::optional<KeyTarget> target = Resolve(key);
  if (!target) return fail(ERROR_INVALID_HANDLE);
  if ((target->access & KEY_QUERY_VALUE) == 0) return fail(ERROR_ACCESS_DENIED);
  if (auto fault = process.TakeFault("RegQueryValueExW")) return fail(*fault);

  const RegistryStore store(process.machine().root());
  if (store.FindKey(target->path) == nullptr) return fail(ERROR_KEY_DELETED);
  const RegistryValue* value = store.FindValue(target->path, View(value_name));
  if (value == nullptr) return fail(ERROR_FILE_NOT_FOUND);

  const auto size = static_cast<DWORD>(value->data.size());
  if (type != nullptr) *type = value->type;
  const bool fits = data == nullptr || size <= *data_size;
  if (data != nullptr && fits) std::copy(value->data.begin(), value->data.end(), data);
  if (data_size != nullptr) *data_size = size;
  if (!fits) {
    trace.Result("ERROR_MORE_DATA type " + Decimal(value->type) + " size " + Decimal(size));
    return static_cast<LSTATUS>(ERROR_MORE_DATA);
  }
  trace.Result("ERROR_SUCCESS type " + Decimal(value->type) + " size " + Decimal(size));
  return ERROR_SUCCESS;
}

extern "C" LSTATUS RegCloseKey(HKEY key) {
  Process& process = CurrentProcess();
  TraceLine trace("RegCloseKey");
  trace.Arg(KeyText(key));
  // A refused close leaves the key open.
  if (auto fault = process.TakeFault("RegCloseKey")) {
    trace.Result(StatusText(static_cast<LSTATUS>(*fault)));
    return static_cast<LSTATUS>(*fault);
  }
  if (PredefinedRoot(key)) {
    trace.Result("ERROR_SUCCESS");
    return ERROR_SUCCESS;
  }
  if (!process.handles().Get<OpenKey>(key) || !process.handles().Close(key)) {
    trace.Result(StatusText(ERROR_INVALID_HANDLE));
    return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
  }
  trace.Result("ERROR_SUCCESS");
  return ERROR_SUCCESS;
}
