// Loading tevuio.dll as a game host does, for the programs under wine: from
// the current (the game's) folder by name, at an address other than its
// preferred one (the host reserves that range first, so the loader must
// relocate it), and its eight functions found by name. Each step is a
// verdict line (verdicts.h).
#ifndef TEVUIO_TESTS_HOST_KIT_H
#define TEVUIO_TESTS_HOST_KIT_H

#include "tevuio.h"
#include "verdicts.h"

#include <windows.h>

#include <cstdint>
#include <string>

struct tevuio_api {
    decltype(&tevu_io_get_api_version) version;
    decltype(&tevu_io_jvs_init) jvs_init;
    decltype(&tevu_io_jvs_poll) poll;
    decltype(&tevu_io_jvs_read_coin_counter) coins;
    decltype(&tevu_io_slider_init) slider_init;
    decltype(&tevu_io_slider_start) start;
    decltype(&tevu_io_slider_stop) stop;
    decltype(&tevu_io_slider_set_leds) set_leds;
};

template <class F> bool find_export(HMODULE m, const char *name, F *out) {
    *out = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(m, name)));
    return verdict::check(*out != nullptr, std::string("GetProcAddress finds ") + name);
}

// The loaded library with *api filled in, or nullptr (its failed step was
// said) when it did not load or lacks a function.
inline HMODULE load_like_a_host(tevuio_api *api) {
    uintptr_t base = 0;
    SIZE_T size = 0;
    HMODULE probe = LoadLibraryExA("tevuio.dll", nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (probe != nullptr) {
        const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(probe);
        const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
            reinterpret_cast<const uint8_t *>(probe) + dos->e_lfanew);
        base = static_cast<uintptr_t>(nt->OptionalHeader.ImageBase);
        size = nt->OptionalHeader.SizeOfImage;
        FreeLibrary(probe);
    }
    verdict::check(base != 0 && VirtualAlloc(reinterpret_cast<void *>(base), size, MEM_RESERVE,
                                             PAGE_NOACCESS) == reinterpret_cast<void *>(base),
                   "the DLL's preferred range is reserved first");
    HMODULE m = LoadLibraryA("tevuio.dll");
    if (!verdict::check(m != nullptr,
                        "LoadLibraryA(\"tevuio.dll\") loads it from the game's folder",
                        "error " + std::to_string(GetLastError())))
        return nullptr;
    verdict::check(reinterpret_cast<uintptr_t>(m) != base, "the library is relocated");
    char path[MAX_PATH] = {}, folder[MAX_PATH] = {};
    GetModuleFileNameA(m, path, sizeof path);
    GetCurrentDirectoryA(sizeof folder, folder);
    verdict::check(std::string(path) == std::string(folder) + "\\tevuio.dll",
                   "the library comes from the game's folder", path);
    const bool all = find_export(m, "tevu_io_get_api_version", &api->version) &
                     find_export(m, "tevu_io_jvs_init", &api->jvs_init) &
                     find_export(m, "tevu_io_jvs_poll", &api->poll) &
                     find_export(m, "tevu_io_jvs_read_coin_counter", &api->coins) &
                     find_export(m, "tevu_io_slider_init", &api->slider_init) &
                     find_export(m, "tevu_io_slider_start", &api->start) &
                     find_export(m, "tevu_io_slider_stop", &api->stop) &
                     find_export(m, "tevu_io_slider_set_leds", &api->set_leds);
    return all ? m : nullptr;
}

// Unloads what load_like_a_host loaded.
inline void unload(HMODULE m) {
    verdict::check(FreeLibrary(m) != FALSE && GetModuleHandleA("tevuio.dll") == nullptr,
                   "FreeLibrary unloads it");
}

#endif
