// The words the client and the vendor's service share on the wire: where reports are posted, the
// operations, the form fields and actions of a report, the names of the token's parameters, the
// update information document and the name of a package's signature. Standard C++ only: the
// service builds it natively. Each word is written once and comes in both widths, UTF-16 for the
// client and bytes for the service; changing one breaks every deployed client.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

struct TServiceWord {
    const char* Text;
    const wchar_t* Wide;
};

// Declares the word aName spelled aText, in both widths from the one literal.
#define QV_SERVICE_WORD(aName, aText) inline constexpr TServiceWord aName = {aText, L"" aText}

// Reports are posted to an operation below this folder of the service's base URL.
QV_SERVICE_WORD(kServiceFolder, "/api/client.asmx/");
QV_SERVICE_WORD(kOperationSendLog, "SendLog"); // the daily hit, answered with the update information
QV_SERVICE_WORD(kOperationGetXML, "GetXML");   // an installation or a removal
inline constexpr TServiceWord kServiceOperations[] = {kOperationSendLog, kOperationGetXML};

// The form fields of a report: the token, and which action a GetXML reports.
QV_SERVICE_WORD(kFieldToken, "CR");
QV_SERVICE_WORD(kFieldAction, "Action");
QV_SERVICE_WORD(kActionInstall, "INQV");
QV_SERVICE_WORD(kActionUninstall, "UNQV");

// The parameters inside the token, in the order the client writes them; RANDOMIZER is last.
QV_SERVICE_WORD(kTokenCFG, "CFG");
QV_SERVICE_WORD(kTokenUID, "UID");
QV_SERVICE_WORD(kTokenVER, "VER"); // the hit only
QV_SERVICE_WORD(kTokenCLS, "CLS"); // the hit only
QV_SERVICE_WORD(kTokenSUBID, "SUBID");
QV_SERVICE_WORD(kTokenRANDOMIZER, "RANDOMIZER");

// The hit's answer: <UpdateInfo><Vers><Ver V="1.0.0.2" URL="..."/></Vers></UpdateInfo>; without an
// offer the Vers element is empty.
QV_SERVICE_WORD(kInfoRoot, "UpdateInfo");
QV_SERVICE_WORD(kInfoVersions, "Vers");
QV_SERVICE_WORD(kInfoVersion, "Ver");
QV_SERVICE_WORD(kInfoVersionNumber, "V");
QV_SERVICE_WORD(kInfoURL, "URL");

// A package's signature is published beside it under the package's name with this suffix.
QV_SERVICE_WORD(kSignatureSuffix, ".sig");

#undef QV_SERVICE_WORD

// What a report tells the service. The values are stored by the service and must not change.
enum TServiceAction : std::uint8_t { saHit = 0, saInstall = 1, saUninstall = 2 };

// The operation a report of anAction is posted to.
constexpr const TServiceWord& ServiceOperation(TServiceAction anAction) {
    return anAction == saHit ? kOperationSendLog : kOperationGetXML;
}

// The "Action" field of a report of anAction; null for the hit, which sends none.
constexpr const TServiceWord* ServiceActionWord(TServiceAction anAction) {
    return anAction == saInstall ? &kActionInstall : anAction == saUninstall ? &kActionUninstall : nullptr;
}

// The action of a report posted to anOperation with anActionWord in its "Action" field: every
// SendLog is the hit, whatever the field holds; a GetXML needs one of the two words. Nothing for
// any other operation or word.
inline std::optional<TServiceAction> ServiceActionOf(const std::string& anOperation, const std::string& anActionWord) {
    if (anOperation == kOperationSendLog.Text)
        return saHit;
    if (anOperation != kOperationGetXML.Text)
        return std::nullopt;
    for (const TServiceAction action : {saInstall, saUninstall})
        if (anActionWord == ServiceActionWord(action)->Text)
            return action;
    return std::nullopt;
}
