// Result codes as people read them: hex, name and a short explanation.
#pragma once

#include <cstdio>
#include <string>

#include <windows.h>
#include <mapicode.h>

#include "HostInterfaces.h"

namespace cardhost {

struct ResultInfo {
    HRESULT code;
    const char* name;
    const char* explanation;
};

inline const ResultInfo* FindResult(HRESULT code) {
    static const ResultInfo known[] = {
        {S_OK, "S_OK", "success"},
        {S_FALSE, "S_FALSE", "success, with nothing to do"},
        {E_MSG_FILE_LOCKED, "E_MSG_FILE_LOCKED", "the file is open elsewhere or read-only"},
        {E_MSG_OPEN_FAILED, "E_MSG_OPEN_FAILED", "the file is not readable as a message"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY", "out of memory"},
        {E_INVALIDARG, "E_INVALIDARG", "an argument is not valid"},
        {E_POINTER, "E_POINTER", "a required pointer is missing"},
        {E_FAIL, "E_FAIL", "unspecified failure"},
        {E_UNEXPECTED, "E_UNEXPECTED", "the call came at an unexpected time"},
        {E_NOTIMPL, "E_NOTIMPL", "not implemented"},
        {E_NOINTERFACE, "E_NOINTERFACE", "the object does not offer the interface asked for"},
        {E_ACCESSDENIED, "E_ACCESSDENIED", "access denied"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG",
         "the class is not registered (run `cardhost register`)"},
        {REGDB_E_READREGDB, "REGDB_E_READREGDB", "the registry could not be read"},
        {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE", "the library does not serve this class"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION", "the class cannot be aggregated"},
        {CO_E_DLLNOTFOUND, "CO_E_DLLNOTFOUND", "the server library was not found"},
        {CO_E_ERRORINDLL, "CO_E_ERRORINDLL", "the library is not an in-process server"},
        {CO_E_CLASSSTRING, "CO_E_CLASSSTRING", "the class or program id is not valid or not registered"},
        {HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "ERROR_MOD_NOT_FOUND", "the library could not be loaded"},
        {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "ERROR_FILE_NOT_FOUND", "the file was not found"},
        {HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), "ERROR_PROC_NOT_FOUND", "the library lacks an entry point"},
        {STG_E_FILENOTFOUND, "STG_E_FILENOTFOUND", "the file was not found"},
        {STG_E_PATHNOTFOUND, "STG_E_PATHNOTFOUND", "the folder was not found"},
        {STG_E_ACCESSDENIED, "STG_E_ACCESSDENIED", "access to the file was denied"},
        {STG_E_SHAREVIOLATION, "STG_E_SHAREVIOLATION", "the file is open in another program"},
        {STG_E_LOCKVIOLATION, "STG_E_LOCKVIOLATION", "the file is locked by another program"},
        {STG_E_FILEALREADYEXISTS, "STG_E_FILEALREADYEXISTS", "the file exists already"},
        {STG_E_INVALIDHEADER, "STG_E_INVALIDHEADER", "the file is not a compound file"},
        {STG_E_MEDIUMFULL, "STG_E_MEDIUMFULL", "the disk is full"},
        {STG_E_WRITEFAULT, "STG_E_WRITEFAULT", "the file could not be written"},
        {STG_E_READFAULT, "STG_E_READFAULT", "the file could not be read"},
        {STG_E_INSUFFICIENTMEMORY, "STG_E_INSUFFICIENTMEMORY", "out of memory"},
        {STG_E_DOCFILECORRUPT, "STG_E_DOCFILECORRUPT", "the compound file is damaged"},
        {STG_E_CANTSAVE, "STG_E_CANTSAVE", "the file could not be saved"},
        {MAPI_E_NO_SUPPORT, "MAPI_E_NO_SUPPORT", "the message store does not support this"},
        {MAPI_E_NOT_FOUND, "MAPI_E_NOT_FOUND", "the property was not found"},
        {MAPI_E_CORRUPT_DATA, "MAPI_E_CORRUPT_DATA", "the message is damaged"},
        {MAPI_E_NOT_ENOUGH_DISK, "MAPI_E_NOT_ENOUGH_DISK", "the disk is full"},
    };
    for (const ResultInfo& info : known)
        if (info.code == code) return &info;
    return nullptr;
}

inline std::string HexCode(HRESULT code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

// "" for a code without a name.
inline std::string ResultName(HRESULT code) {
    const ResultInfo* info = FindResult(code);
    return info ? info->name : "";
}

// "0x8004020B E_MSG_FILE_LOCKED: the file is open elsewhere or read-only"
inline std::string DescribeResult(HRESULT code) {
    std::string text = HexCode(code);
    if (const ResultInfo* info = FindResult(code)) {
        text += ' ';
        text += info->name;
        text += ": ";
        text += info->explanation;
    } else {
        text += SUCCEEDED(code) ? " (success)" : " (failure)";
    }
    return text;
}

}  // namespace cardhost
