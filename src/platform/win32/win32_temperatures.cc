// Temperatures on Windows: the ACPI thermal zones, as WMI shows them to an administrator (the
// node's service runs as one).
// clang-format off
#include "platform/win32/win32_machine.h"
#include <wbemidl.h>
// clang-format on

#include <cstdio>

#include "platform/error.h"

namespace varnix {
namespace {

// Holds one COM interface and releases it.
template <typename T>
class ComHold {
 public:
  ComHold() = default;
  ~ComHold() {
    if (p != nullptr) p->Release();
  }
  ComHold(const ComHold&) = delete;
  ComHold& operator=(const ComHold&) = delete;
  T* operator->() const { return p; }
  T* p = nullptr;
};

// COM for this thread for as long as it lives; where the thread has it already, in whatever
// mode, that serves.
class ComUse {
 public:
  ComUse() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComUse() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComUse(const ComUse&) = delete;
  ComUse& operator=(const ComUse&) = delete;
  bool usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }

 private:
  HRESULT result_;
};

class Variant {
 public:
  Variant() { VariantInit(&v); }
  ~Variant() { VariantClear(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT v;
};

[[noreturn]] void Fail(const std::string& step, HRESULT result) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
  throw Error(static_cast<long>(result),
              result == static_cast<HRESULT>(WBEM_E_ACCESS_DENIED) || result == E_ACCESSDENIED
                  ? "WMI's thermal zones are shown only to an administrator (run the node as a "
                    "service)"
                  : "WMI: " + step + " failed (" + code + ")");
}

}  // namespace

std::vector<Temperature> Win32Machine::Temperatures() {
  const ComUse com;
  if (!com.usable()) Fail("COM", E_FAIL);
  ComHold<IWbemLocator> locator;
  HRESULT result = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWbemLocator, reinterpret_cast<void**>(&locator.p));
  if (FAILED(result)) Fail("the locator", result);
  ComHold<IWbemServices> services;
  BSTR space = SysAllocString(L"ROOT\\WMI");
  result =
      locator->ConnectServer(space, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services.p);
  SysFreeString(space);
  if (FAILED(result)) Fail("ROOT\\WMI", result);
  CoSetProxyBlanket(services.p, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                    RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  ComHold<IEnumWbemClassObject> found;
  BSTR language = SysAllocString(L"WQL");
  BSTR query =
      SysAllocString(L"SELECT InstanceName, CurrentTemperature FROM MSAcpi_ThermalZoneTemperature");
  result = services->ExecQuery(
      language, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &found.p);
  SysFreeString(language);
  SysFreeString(query);
  if (FAILED(result)) Fail("the thermal zones", result);
  std::vector<Temperature> sensors;
  // A firmware with no thermal zone answers none at all: that is no failure.
  for (size_t i = 0; i < 64; ++i) {
    ComHold<IWbemClassObject> zone;
    ULONG returned = 0;
    result = found->Next(2000, 1, &zone.p, &returned);
    if (result == static_cast<HRESULT>(WBEM_E_NOT_FOUND)) return sensors;
    if (FAILED(result)) Fail("the thermal zones", result);
    if (returned == 0) break;
    Variant name;
    Variant tenths_kelvin;
    if (FAILED(zone->Get(L"InstanceName", 0, &name.v, nullptr, nullptr)) ||
        FAILED(zone->Get(L"CurrentTemperature", 0, &tenths_kelvin.v, nullptr, nullptr)) ||
        FAILED(VariantChangeType(&tenths_kelvin.v, &tenths_kelvin.v, 0, VT_I4))) {
      continue;
    }
    const double celsius = tenths_kelvin.v.lVal / 10.0 - 273.15;
    // A zone that reads nothing (0 K) or the firmware's placeholder is left out.
    if (celsius < -40 || celsius > 150) continue;
    // "ACPI\ThermalZone\TZ00_0": the zone's own name is what a user compares.
    std::string label = name.v.vt == VT_BSTR ? TextFromWide(name.v.bstrVal) : "";
    const size_t slash = label.find_last_of('\\');
    if (slash != std::string::npos) label = label.substr(slash + 1);
    if (label.size() > 2 && label.ends_with("_0")) label.resize(label.size() - 2);
    // ACPI's zones measure the processor's surroundings, not the processor: none is named
    // the processor's own.
    sensors.push_back({"ACPI " + (label.empty() ? "zone" : label), celsius, false});
  }
  return sensors;
}

}  // namespace varnix
