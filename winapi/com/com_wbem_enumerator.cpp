// IEnumWbemClassObject over results that are all known when the query ends.
#include <utility>

#include "winapi/com/com_object.h"
#include "winapi/com/com_wbem.h"

namespace winapi::com {
namespace {

class ObjectEnumerator final : public RefCounted<IEnumWbemClassObject> {
public:
    explicit ObjectEnumerator(std::vector<wql::WqlObject> objects) : objects_(std::move(objects)) {}

    HRESULT STDMETHODCALLTYPE Reset() override {
        next_ = 0;
        return WBEM_S_NO_ERROR;
    }

    // Hands out up to uCount objects; WBEM_S_FALSE when fewer were left.
    HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override {
        (void)lTimeout;
        if (apObjects == nullptr || puReturned == nullptr) return WBEM_E_INVALID_PARAMETER;
        *puReturned = 0;
        // A semisynchronous query reports its failures with the first
        // results, which is where tests inject them; asking only then keeps
        // the store out of the per-object path.
        if (next_ == 0 && !askedForFault_) {
            askedForFault_ = true;
            if (HRESULT injected = InjectedComFailure("Next"); FAILED(injected)) return injected;
        }
        ULONG returned = 0;
        while (returned < uCount && next_ < objects_.size()) apObjects[returned++] = CreateClassObject(objects_[next_++]);
        *puReturned = returned;
        return returned == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

protected:
    const IID& InterfaceId() const override { return IID_IEnumWbemClassObject; }

private:
    std::vector<wql::WqlObject> objects_;
    size_t next_ = 0;
    bool askedForFault_ = false;
};

}  // namespace

IEnumWbemClassObject* CreateObjectEnumerator(std::vector<wql::WqlObject> objects) {
    return new ObjectEnumerator(std::move(objects));
}

}  // namespace winapi::com
