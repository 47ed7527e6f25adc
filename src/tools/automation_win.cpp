// COM automation for the broker tools: one single-threaded apartment per tool call, objects
// created by programmatic identifier and called through IDispatch, each released before the
// apartment is left.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/Automation.h"

namespace kestrill {
namespace {

std::wstring ToWide(const std::string& AUtf8) {
  if (AUtf8.empty()) return {};
  int N = MultiByteToWideChar(CP_UTF8, 0, AUtf8.data(), static_cast<int>(AUtf8.size()), nullptr, 0);
  std::wstring W(N, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, AUtf8.data(), static_cast<int>(AUtf8.size()), W.data(), N);
  return W;
}

std::string ToUtf8(const wchar_t* AText, int ALength) {
  if (!AText || ALength <= 0) return {};
  int N = WideCharToMultiByte(CP_UTF8, 0, AText, ALength, nullptr, 0, nullptr, nullptr);
  std::string Out(N, '\0');
  WideCharToMultiByte(CP_UTF8, 0, AText, ALength, Out.data(), N, nullptr, nullptr);
  return Out;
}

std::string FromBstr(BSTR AText) {
  return AText ? ToUtf8(AText, static_cast<int>(SysStringLen(AText))) : std::string();
}

// The system's description of a failure code, with the code itself.
std::string Describe(HRESULT ACode) {
  wchar_t* Text = nullptr;
  DWORD Length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(ACode), 0, reinterpret_cast<wchar_t*>(&Text), 0, nullptr);
  std::string Message = ToUtf8(Text, static_cast<int>(Length));
  if (Text) LocalFree(Text);
  while (!Message.empty() && (Message.back() == '\n' || Message.back() == '\r' || Message.back() == ' '))
    Message.pop_back();
  char Code[16];
  std::snprintf(Code, sizeof(Code), "0x%08lX", static_cast<unsigned long>(ACode));
  return Message.empty() ? std::string(Code) : Message + " (" + Code + ")";
}

// A VARIANT that is always cleared.
struct TVariant {
  VARIANT V;
  TVariant() { VariantInit(&V); }
  ~TVariant() { VariantClear(&V); }
  TVariant(const TVariant&) = delete;
  TVariant& operator=(const TVariant&) = delete;
};

void Store(const TAutoValue& AValue, VARIANT& AOut) {
  if (auto* B = std::get_if<bool>(&AValue)) {
    AOut.vt = VT_BOOL;
    AOut.boolVal = *B ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (auto* I = std::get_if<std::int32_t>(&AValue)) {
    AOut.vt = VT_I4;
    AOut.lVal = *I;
  } else if (auto* L = std::get_if<std::int64_t>(&AValue)) {
    AOut.vt = VT_I8;
    AOut.llVal = *L;
  } else if (auto* D = std::get_if<double>(&AValue)) {
    AOut.vt = VT_R8;
    AOut.dblVal = *D;
  } else if (auto* C = std::get_if<char16_t>(&AValue)) {
    // A character value goes as its code in a VT_I4, the form the broker's own samples pass
    // (its objects coerce that to the character they expect).
    AOut.vt = VT_I4;
    AOut.lVal = static_cast<LONG>(*C);
  } else if (auto* S = std::get_if<std::string>(&AValue)) {
    std::wstring W = ToWide(*S);
    AOut.vt = VT_BSTR;
    AOut.bstrVal = SysAllocStringLen(W.data(), static_cast<UINT>(W.size()));
    if (!AOut.bstrVal) throw EAutomationError("메모리가 부족합니다.");
  }
}

TAutoValue Load(VARIANT& AValue) {
  switch (AValue.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return std::monostate{};
    case VT_BOOL:
      return AValue.boolVal != VARIANT_FALSE;
    case VT_I1:
      return static_cast<std::int32_t>(AValue.cVal);
    case VT_UI1:
      return static_cast<std::int32_t>(AValue.bVal);
    case VT_I2:
      return static_cast<std::int32_t>(AValue.iVal);
    case VT_UI2:
      return static_cast<std::int32_t>(AValue.uiVal);
    case VT_I4:
    case VT_INT:
      return static_cast<std::int32_t>(AValue.lVal);
    case VT_UI4:
    case VT_UINT:
      return static_cast<std::int64_t>(AValue.ulVal);
    case VT_I8:
      return static_cast<std::int64_t>(AValue.llVal);
    case VT_BSTR:
      return FromBstr(AValue.bstrVal);
    default:
      break;
  }
  // Floating, currency, decimal, dates and anything else: the system's own conversion.
  TVariant Converted;
  if (SUCCEEDED(VariantChangeType(&Converted.V, &AValue, 0, VT_R8)) && AValue.vt != VT_DATE)
    return Converted.V.dblVal;
  if (SUCCEEDED(VariantChangeType(&Converted.V, &AValue, 0, VT_BSTR)))
    return FromBstr(Converted.V.bstrVal);
  throw EAutomationError("알 수 없는 형식의 값입니다 (VARTYPE " + std::to_string(AValue.vt) + ").");
}

class TComObject final : public IAutomationObject {
 public:
  TComObject(IDispatch* ADispatch, std::string AProgId)
      : FDispatch(ADispatch), FProgId(std::move(AProgId)) {}
  ~TComObject() override { FDispatch->Release(); }

  TAutoValue Call(const std::string& AMember, const std::vector<TAutoValue>& AArgs) override {
    std::wstring Name = ToWide(AMember);
    LPOLESTR Names[] = {Name.data()};
    DISPID Id = 0;
    HRESULT Result = FDispatch->GetIDsOfNames(IID_NULL, Names, 1, LOCALE_USER_DEFAULT, &Id);
    if (FAILED(Result)) Fail(AMember, Describe(Result));

    // IDispatch takes the arguments last to first.
    std::vector<TVariant> Args(AArgs.size());
    for (std::size_t I = 0; I < AArgs.size(); ++I) Store(AArgs[I], Args[AArgs.size() - 1 - I].V);
    std::vector<VARIANT> Raw;
    Raw.reserve(Args.size());
    for (TVariant& A : Args) Raw.push_back(A.V);
    DISPPARAMS Params{Raw.empty() ? nullptr : Raw.data(), nullptr, static_cast<UINT>(Raw.size()), 0};

    TVariant Out;
    EXCEPINFO Exception{};
    UINT BadArgument = 0;
    Result = FDispatch->Invoke(Id, IID_NULL, LOCALE_USER_DEFAULT,
                               DISPATCH_METHOD | DISPATCH_PROPERTYGET, &Params, &Out.V, &Exception,
                               &BadArgument);
    if (Result == DISP_E_EXCEPTION) {
      if (Exception.pfnDeferredFillIn) Exception.pfnDeferredFillIn(&Exception);
      std::string Why = FromBstr(Exception.bstrDescription);
      SysFreeString(Exception.bstrSource);
      SysFreeString(Exception.bstrDescription);
      SysFreeString(Exception.bstrHelpFile);
      // A server may fill in neither: scode 0 would read "The operation completed successfully".
      if (Why.empty())
        Why = Exception.scode != 0 ? Describe(Exception.scode)
                                   : "알 수 없는 COM 오류 (wCode " + std::to_string(Exception.wCode) + ")";
      Fail(AMember, Why);
    }
    if (FAILED(Result)) Fail(AMember, Describe(Result));
    return Load(Out.V);
  }

 private:
  [[noreturn]] void Fail(const std::string& AMember, const std::string& AWhy) {
    throw EAutomationError(FProgId + "." + AMember + ": " + AWhy);
  }

  IDispatch* FDispatch;
  std::string FProgId;
};

class TComSession final : public IAutomationSession {
 public:
  TComSession() {
    HRESULT Result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(Result)) throw EAutomationError("COM 초기화 실패: " + Describe(Result));
  }
  // S_FALSE (already initialised on this thread) is balanced by this call too.
  ~TComSession() override { CoUninitialize(); }
  TComSession(const TComSession&) = delete;
  TComSession& operator=(const TComSession&) = delete;

  std::unique_ptr<IAutomationObject> Create(const std::string& AProgId) override {
    std::wstring Id = ToWide(AProgId);
    CLSID Class{};
    HRESULT Result = CLSIDFromProgID(Id.c_str(), &Class);
    if (FAILED(Result))
      throw EAutomationError("'" + AProgId + "' 개체가 등록되어 있지 않습니다: " + Describe(Result));
    IDispatch* Dispatch = nullptr;
    Result = CoCreateInstance(Class, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                              IID_IDispatch, reinterpret_cast<void**>(&Dispatch));
    if (FAILED(Result) || !Dispatch)
      throw EAutomationError("'" + AProgId + "' 개체를 만들 수 없습니다: " + Describe(Result));
    return std::make_unique<TComObject>(Dispatch, AProgId);
  }
};

}  // namespace

std::unique_ptr<IAutomationSession> StartAutomation() { return std::make_unique<TComSession>(); }

}  // namespace kestrill
