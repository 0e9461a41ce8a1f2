// Replaces one platform function as quorvel's modules see it, for the life
// of an ImportPatch. The modules are linked into the test program and call
// the platform through the program's import table, so the replacement
// receives exactly the calls they make, with their arguments, on the
// calling thread: a way to watch what the shell or the loader is asked for
// without letting a real program start or a real library load.
#ifndef QUORVEL_TESTS_HARNESS_IMPORT_PATCH_H
#define QUORVEL_TESTS_HARNESS_IMPORT_PATCH_H

#include <windows.h>

class ImportPatch {
public:
    ImportPatch(const char* dll, const char* function, void* replacement)
    {
        slot_ = FindSlot(dll, function);
        if (slot_ != nullptr) {
            original_ = *slot_;
            Write(replacement);
        }
    }
    ~ImportPatch()
    {
        if (slot_ != nullptr)
            Write(original_);
    }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool Installed() const { return slot_ != nullptr; }
    void* Original() const { return original_; }

private:
    static void** FindSlot(const char* dll, const char* function)
    {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (imports.VirtualAddress == 0)
            return nullptr;
        for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             module->Name != 0; ++module) {
            if (lstrcmpiA(reinterpret_cast<const char*>(base + module->Name), dll) != 0)
                continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
                base + (module->OriginalFirstThunk != 0 ? module->OriginalFirstThunk : module->FirstThunk));
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                    continue;
                auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) == 0)
                    return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
        return nullptr;
    }

    void Write(void* value)
    {
        DWORD old = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &old);
        *slot_ = value;
        VirtualProtect(slot_, sizeof *slot_, old, &old);
        FlushInstructionCache(GetCurrentProcess(), slot_, sizeof *slot_);
    }

    void** slot_ = nullptr;
    void* original_ = nullptr;
};

#endif
