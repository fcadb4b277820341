// The in-process WMI objects of the Windows layer: the locator that
// CoCreateInstance hands out, the ROOT\CIMV2 namespace it connects to, the
// enumerators of query results and the result objects themselves.
#pragma once

#include <vector>

#include "winapi/com.h"
#include "winapi/wql/wql_class.h"

namespace winapi::com {

// Each returns a new object holding one reference, owned by the caller.
IWbemLocator* CreateWbemLocator();
IWbemServices* CreateCimv2Services();
// Takes the result objects in the order the enumerator yields them.
IEnumWbemClassObject* CreateObjectEnumerator(std::vector<wql::WqlObject> objects);
IWbemClassObject* CreateClassObject(wql::WqlObject object);

}  // namespace winapi::com
