#pragma once
// What the reference engine's COM objects share with its module: the class
// identifier and the count of live objects that decides DllCanUnloadNow.

#include <windows.h>

// {A0A2B49D-739F-4A4A-BC65-B2096ACD85DD}
constexpr CLSID kEngineClassId = {
    0xa0a2b49d, 0x739f, 0x4a4a, {0xbc, 0x65, 0xb2, 0x09, 0x6a, 0xcd, 0x85, 0xdd}};

// Every engine object, listing entry, running transfer and server lock holds
// one count while it lives.
void ModuleAddRef();
void ModuleRelease();
