// IWbemServices of ROOT\CIMV2: runs WQL data queries over the classes of
// the simulated computer.
#include <exception>
#include <string>

#include "winapi/com/com_object.h"
#include "winapi/com/com_wbem.h"
#include "winapi/wql/wql_binding.h"
#include "winapi/wql/wql_evaluator.h"
#include "winapi/wql/wql_parser.h"

namespace winapi::com {
namespace {

class Cimv2Services final : public RefCounted<IWbemServices> {
public:
    // Every query is answered at once, so flags only decide whether the
    // enumerator may be reset.
    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                        IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) override {
        (void)pCtx;
        if (ppEnum == nullptr || strQueryLanguage == nullptr || strQuery == nullptr) return WBEM_E_INVALID_PARAMETER;
        *ppEnum = nullptr;
        const std::wstring language(strQueryLanguage, SysStringLen(strQueryLanguage));
        if (!wql::EqualsIgnoreCase(language, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
        const std::wstring text(strQuery, SysStringLen(strQuery));
        if (HRESULT injected = InjectedComFailure("ExecQuery", text.c_str()); FAILED(injected)) return injected;

        wql::WqlQuery query;
        try {
            query = wql::ParseWql(text);
        } catch (const wql::WqlSyntaxError&) {
            return WBEM_E_INVALID_QUERY;
        }
        const wql::WqlClass* cls = wql::FindCimv2Class(query.className);
        if (cls == nullptr) return WBEM_E_INVALID_CLASS;
        try {
            wql::BindWqlQuery(query, *cls);
        } catch (const wql::WqlBindError&) {
            return WBEM_E_INVALID_QUERY;
        }
        std::vector<wql::WqlObject> results;
        try {
            results = wql::SelectWql(query, cls->Instances());
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        } catch (const std::exception&) {
            // The simulated computer could not be read.
            return WBEM_E_FAILED;
        }
        IEnumWbemClassObject* enumerator = CreateObjectEnumerator(std::move(results));
        (void)lFlags;
        *ppEnum = enumerator;
        return WBEM_S_NO_ERROR;
    }

protected:
    const IID& InterfaceId() const override { return IID_IWbemServices; }
};

}  // namespace

IWbemServices* CreateCimv2Services() { return new Cimv2Services(); }

}  // namespace winapi::com
