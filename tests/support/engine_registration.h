#pragma once
// Serves one engine object, living in this process, to FsInit exactly as an
// installed engine would be found: a class object registered with COM and the
// engine's ProgID key under HKLM\Software\Classes naming its class. The
// ProgID key can be withdrawn and offered again to make start-up fail.
// Needs COM initialised on the calling thread; undoes everything when it
// goes out of scope.

#include <windows.h>
#include <objbase.h>

// The ProgID key alone, naming the class the test programs serve.
bool OfferEngineProgId();
void WithdrawEngineProgId();

class EngineRegistration {
public:
    explicit EngineRegistration(IUnknown& engine);
    ~EngineRegistration();
    EngineRegistration(const EngineRegistration&) = delete;
    EngineRegistration& operator=(const EngineRegistration&) = delete;

    // Whether both the class object and the ProgID key are in place.
    bool Registered() const { return classRegistered_ && progIdOffered_; }
    void OfferProgId();
    void WithdrawProgId();
    // How many objects FsInit had COM create through the class object.
    int Created() const;

private:
    class Factory;
    Factory* factory_;
    DWORD cookie_ = 0;
    bool classRegistered_ = false;
    bool progIdOffered_ = false;
};
