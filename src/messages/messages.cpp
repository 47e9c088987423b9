#include "messages/messages.h"

#include <algorithm>
#include <array>
#include <utility>

#ifndef QUORVANE_SUPPORT_URL
#error "QUORVANE_SUPPORT_URL must be defined by the build"
#endif

namespace qe {
namespace {

#define QE_WIDEN2(x) L##x
#define QE_WIDEN(x) QE_WIDEN2(x)

struct Entry {
    int number;
    const wchar_t* text;
};

// clang-format off
constexpr Entry kStrings[] = {
    {101, L"&Despre Quorvane Enroll..."},
    {102, L"Generează Cerere"},
    {103, L"Încarcă certificat"},
    {104, L"Vă rugăm sa introduceți dispozitivul criptografic."},
    {105, L"Certificatul selectat sau parola introdusă sunt incorecte."},
    {106, L"Nu s-au putut genera cheile pe dispozitivul criptografic. Vă rugăm să reluati procedura de generare."},
    {107, L"Nu s-a putut trimite cererea către Quorvane. Vă rugăm să reluati procedura de generare."},
    {108, L"Cererea a fost trimisă cu succes."},
    {109, L"A avut loc o eroare"},
    {110, L"Vă rugăm să așteptați..."},
    {111, L"Quorvane Enroll"},
    {112, L"Vă rugăm introduceți un singur dispozitiv criptografic."},
    {113, L"Eroare de server"},
    {114, L"Certificatul serverului este invalid. Vă rugăm să contactați suportul Quorvane."},
    {115, L"Sterge certificatul vechi de pe dispozitivul criptografic"},
    {116, L"Cheia privată asociată cererii nu poate fi găsita pe dispozitivul criptografic. Vă rugăm introduceți dispozitivul cu care s-a generat cererea."},
    {117, L"Certificatul dumneavoastră va fi emis conform Regulamentului EU nr. 910/2014 (eIDAS), iar semnăturile electronice pe care le veți crea cu ajutorul său vor fi recunoscute atât în România, cât și în orice alt stat membru UE."},
    {118, L"Pentru generarea cererii de certificat vă rugăm să apăsați butonul ”Generează Cerere”"},
    {119, L"Eroare de conectare la serverul Quorvane. Vă rugăm să verificați conexiunea la internet."},
    {120, L"Eroare dispozitiv criptografic. Vă rugăm reporniți aplicația si reconectați dispozitivul criptografic."},
    {121, L"Sunt de acord cu semnarea declarației de acceptanță și încărcarea certificatului pe dispozitivul criptografic."},
    {122, L"Nu sunt de acord cu semnarea declarației de acceptanță și încărcarea certificatului pe dispozitivul criptografic."},
    {123, L"Vizualizare declarație de acceptanță"},
    {124, L"Vizualizare certificat"},
    {125, L"Introduceți codul pin"},
    {126, L"Certificatul a fost încărcat cu succes"},
    {127, L"Raspuns server invalid. Vă rugăm să reluati procedura de incărcare."},
    {128, L"Generic error"},
    {129, L"Codul PIN este incorect."},
    {130, L"Se conectează la dispozitivul criptografic"},
    {132, L"Se generează cheile pe dispozitivul criptografic"},
    {133, L"Se trimite cererea catre Quorvane"},
    {134, L"Se descarcă noul certificat"},
    {135, L"Se descarcă declarația de acceptanță"},
    {136, L"Reîncearcă"},
    {137, L"Renunță"},
    {138, L"Se actualizează statusul certificatelor"},
    {143, L"Se semnează electronic declarația de acceptanță"},
    {144, L"Se trimite declarația de acceptanță"},
    {145, L"Se încarcă noul certificat pe dispozitivul criptografic"},
    {146, L"Se șterge vechiul certificat"},
    {147, L"Se confirma încărcarea certificatului"},
    {148, LR"rtf({\rtf1\ansi\ansicpg1252\deff0\nouicompat\deflang1033{\fonttbl{\f0\fnil\fcharset0 Calibri;}{\f1\fnil\fcharset238 Calibri;}}{\colortbl ;\red0\green0\blue0;\red255\green255\blue255;}{\*\generator Riched20 10.0.26100}\viewkind4\uc1 \pard\qc\cf1\highlight2\f0\fs19 Pentru a continua v\f1\'e3 rug\'e3m s\'e3 da\u539?i click pe butonul de mai jos:\cf0\highlight0\f0\fs22\lang9\par})rtf"},
    {149, L"Nu este suficient spațiu pe dispozitiv."},
    {151, L"Date insuficiente pentru crearea cheilor. Nu se poate genera cererea."},
    {152, L"Continuați"},
    // The PIN dialog's warnings from the token's PIN flags, the certificate choice dialog and the
    // certificate details dialog.
    {153, L"Atenție: a fost introdus un cod PIN greșit."},
    {154, L"Atenție: aceasta este ultima încercare înainte de blocarea codului PIN."},
    {155, L"Codul PIN este blocat pe dispozitivul criptografic."},
    {156, L"Selectare certificat"},
    {157, L"Selectați certificatul cu care doriți să continuați:"},
    {158, L"Emis pentru"},
    {159, L"Emis de"},
    {160, L"Valabil de la"},
    {161, L"Valabil până la"},
    {162, L"Număr de serie"},
    {163, L"Detalii certificat"},
    {164, L"Subiect"},
    {165, L"Emitent"},
    {166, L"Utilizarea cheii"},
    {167, L"Utilizarea extinsă a cheii"},
    {168, L"Nume alternative"},
    {169, L"Amprentă SHA-256"},
    {170, L"Certificatul primit nu poate fi citit."},
    // A token found unable to carry a renewal through before anything is generated or sent, and a
    // new key the token would not protect.
    {171, L"Dispozitivul criptografic nu este inițializat. Vă rugăm să contactați suportul Quorvane."},
    {172, L"Codul PIN al dispozitivului criptografic nu a fost setat. Setați-l cu aplicația dispozitivului și reluați procedura de generare."},
    {173, L"Codul PIN este blocat pe dispozitivul criptografic. Deblocați-l cu aplicația dispozitivului și reluați procedura de generare."},
    {174, L"Dispozitivul criptografic este protejat la scriere: pe el nu se pot crea chei noi. Nu s-a trimis nicio cerere."},
    {175, L"Dispozitivul criptografic nu poate genera chei RSA de 2048 de biți. Nu s-a trimis nicio cerere; vă rugăm să contactați suportul Quorvane."},
    {176, L"Dispozitivul criptografic nu poate decripta cu chei RSA, deci nu ar putea primi noul certificat. Nu s-a trimis nicio cerere; vă rugăm să contactați suportul Quorvane."},
    {177, L"Dispozitivul criptografic nu poate semna cu chei RSA. Nu s-a trimis nicio cerere; vă rugăm să contactați suportul Quorvane."},
    {178, L"Dispozitivul criptografic nu a protejat noua cheie privată (ar fi putut fi citită de pe dispozitiv), așa că a fost ștearsă. Nu s-a trimis nicio cerere; vă rugăm să contactați suportul Quorvane."},
    // Asked before a new request replaces an issued certificate that was not installed yet.
    {179, L"A fost emis un certificat care așteaptă să fie încărcat pe dispozitivul criptografic. O cerere nouă îl va înlocui. Doriți să continuați?"},
    // The PIN dialog after a wrong PIN when the token shows no count of the tries left.
    {180, L"Atenție: a fost introdus un cod PIN greșit, iar dispozitivul criptografic nu arată câte încercări au mai rămas până la blocarea codului PIN."},
    // The expiry reminder's notifications: %1 the holder, %2 the last day of validity.
    {181, L"Certificatul calificat expiră în curând"},
    {182, L"Certificatul calificat al titularului %1 expiră pe %2. Reînnoiți-l din timp cu dispozitivul criptografic: după expirare, reînnoirea se poate face doar cu o vizită la Quorvane."},
    {183, L"Certificatul calificat a expirat"},
    {184, L"Certificatul calificat al titularului %1 a expirat pe %2. Reînnoirea se mai poate face acum doar cu o vizită la Quorvane."},
    {185, L"Reînnoiește"},
    // Shown while a token whose reader has its own keypad waits for the PIN there.
    {186, L"Introduceți codul PIN pe tastatura cititorului"},
    // A token that generated the new keys into the place of a certificate's key, and a request
    // whose answer never came.
    {187, L"La generarea cheilor noi, dispozitivul criptografic a înlocuit certificatul existent sau cheia acestuia. Cererea nu a fost trimisă și nu s-a mai modificat nimic pe dispozitiv; vă rugăm să contactați suportul Quorvane."},
    {188, L"Nu s-a primit răspunsul Quorvane la cererea trimisă, așa că este posibil ca ea să fi ajuns. Cheile noi au fost păstrate pe dispozitivul criptografic. Starea certificatelor, actualizată acum, arată dacă cererea a fost primită: dacă butonul ”Încarcă certificat” devine activ, continuați cu el; altfel reluați procedura de generare."},
    // A certificate the token has no room for, a token that makes keys only for its administrator,
    // an old certificate the token kept, a login refused without a PIN result.
    {189, L"Nu este suficient spațiu pe dispozitivul criptografic pentru noul certificat. Pe dispozitiv nu s-a modificat nimic, iar noul certificat rămâne disponibil la Quorvane. Faceți loc ștergând cu aplicația dispozitivului certificatele expirate pe care nu le mai folosiți, apoi apăsați din nou ”Încarcă certificat”."},
    {190, L"Dispozitivul criptografic permite generarea cheilor noi doar cu codul PIN de administrator, pe care această aplicație nu îl folosește. Nu s-a trimis nicio cerere; vă rugăm să contactați administratorul dispozitivului sau suportul Quorvane."},
    {191, L"Noul certificat a fost încărcat cu succes, dar dispozitivul criptografic nu a șters certificatul vechi, deși a raportat că l-a șters. Îl puteți șterge cu aplicația dispozitivului."},
    {192, L"Dispozitivul criptografic a refuzat autentificarea fără să spună de ce; cel mai probabil codul PIN este greșit. Dispozitivul nu arată câte încercări au mai rămas, iar numărul lor poate fi limitat: verificați codul PIN înainte de a încerca din nou."},
    // One card that shows itself as several tokens with one serial number.
    {193, L"Dispozitivul criptografic apare ca mai multe dispozitive cu același număr de serie (câte unul pentru fiecare cheie), iar aplicația nu poate stabili pe care dintre ele se află cheia certificatului. Nu s-a modificat nimic. Dacă ați conectat mai multe dispozitive, lăsați conectat doar unul și reluați; altfel vă rugăm să contactați suportul Quorvane."},
    // OK pressed in the PIN dialog with the field empty.
    {194, L"Nu ați introdus codul PIN."},
    // The declaration that could not be shown.
    {195, L"Declarația de acceptanță nu a putut fi afișată, așa că nu a fost semnată și certificatul nu a fost încărcat. Eliberați spațiu pe disc (sau verificați că dosarul temporar poate fi scris), apoi apăsați din nou ”Încarcă certificat”."},
    // A certificate outside its dates: the clock, or a renewal only the authority can make.
    {196, L"Certificatul calificat de pe dispozitivul criptografic nu este încă valabil după data și ora acestui calculator, care par să fie în urmă. Corectați data și ora calculatorului, apoi reluați."},
    {197, L"Certificatul calificat de pe dispozitivul criptografic a expirat. Reînnoirea se mai poate face acum doar cu o vizită la Quorvane."},
    // A network that inspects secure connections: another certificate answered in the server's
    // place, or the handshake broke only through the proxy.
    {198, L"Rețeaua dumneavoastră inspectează conexiunile securizate: conexiunea cu serverul Quorvane a fost interceptată pe drum (de obicei de un proxy sau de un program de securitate), așa că nu s-a trimis nimic. Rugați administratorul rețelei să excludă de la inspecție serverele Quorvane, apoi reluați procedura."},
    // A proxy that asks for a password: its dialog (prompt, refused note, title, fields) and the
    // failure when none was given.
    {199, L"Conexiunea la Quorvane trece printr-un server proxy care cere un nume de utilizator și o parolă. Introduceți-le pe cele primite de la administratorul rețelei:"},
    {200, L"Serverul proxy nu a acceptat numele de utilizator sau parola. Verificați-le și încercați din nou."},
    {201, L"Server proxy"},
    {202, L"Nume de utilizator:"},
    {203, L"Parolă:"},
    {204, L"Conexiunea la Quorvane trece printr-un server proxy care cere un nume de utilizator și o parolă, iar acestea nu au fost introduse sau nu au fost acceptate. Cereți-le administratorului rețelei, apoi reluați procedura."},
    {220, L"Dispozitivul criptografic își păstrează cheile doar în locuri fixe și generează chei noi doar cu cheia administratorului său, așa că această aplicație nu poate genera noua cheie pe el. Nu s-a trimis nicio cerere și nu s-a modificat nimic pe dispozitiv. Vă rugăm să contactați suportul Quorvane sau producătorul dispozitivului."},
};
// clang-format on

constexpr const wchar_t* kOldDriverBeforeLink =
    LR"rtf({\rtf1\ansi\ansicpg1252\deff0\nouicompat\deflang1033{\fonttbl{\f0\fnil\fcharset0 Calibri;}{\f1\fnil\fcharset238 Calibri;}}{\colortbl ;\red0\green0\blue255;}{\*\generator Riched20 10.0.22621}\viewkind4\uc1 \pard\sa200\sl276\slmult1\f0\fs22\lang9 Nu ave\f1\u539?i instalat\'e3 ultima versiune a driverului de token pe care \f0\'eel utiliza\f1\u539?i.\par\par Accesa\u539?i acest link )rtf";
constexpr const wchar_t* kOldDriverAfterLink =
    LR"rtf(\f1\fs22  iar din pagina care se deschide, alege\u539?i tipul de token pe care \f0\'eel detine\f1\u539?i \u537?i reinstala\u539?i driverul tokenului dvs., in functie de sistemul de operare (Windows sau MacOS) pe care \f0\'eel utiliza\f1\u539?i. Dup\'e3 reinstalarea ultimei versiuni a driverului de token, deschide\u539?i Quorvane Enroll \u537?i relua\u539?i pasul de generare a cererii de certificat.\f0\par} \0)rtf";

constexpr std::array<int, 2> kStatusSteps = {130, 138};
constexpr std::array<int, 3> kRequestSteps = {130, 132, 133};
constexpr std::array<int, 9> kDownloadSteps = {130, 134, 135, 130, 143, 144, 145, 146, 147};

constexpr std::pair<ErrorId, int> kErrorStrings[] = {
    {ERR_NO_TOKEN, 104},
    {ERR_BAD_CERT_OR_PASSWORD, 105},
    {ERR_KEYGEN_FAILED, 106},
    {ERR_SEND_FAILED, 107},
    {ERR_MULTIPLE_TOKENS, 112},
    {ERR_CONNECTION, 119},
    {ERR_TOKEN_DEVICE, 120},
    {ERR_BAD_RESPONSE, 127},
    {ERR_SERVER, 113},
    {ERR_SERVER_CERT, 114},
    {ERR_KEY_NOT_FOUND, 116},
    {ERR_WRONG_PIN, 129},
    {ERR_TOKEN_RESTRICTED, 148},
    {ERR_TOKEN_FULL, 149},
    {ERR_KEYGEN_DATA, 151},
    {ERR_TOKEN_NOT_INITIALISED, 171},
    {ERR_PIN_NOT_SET, 172},
    {ERR_PIN_LOCKED, 173},
    {ERR_TOKEN_WRITE_PROTECTED, 174},
    {ERR_TOKEN_NO_KEYGEN, 175},
    {ERR_TOKEN_NO_DECRYPTION, 176},
    {ERR_TOKEN_NO_SIGNING, 177},
    {ERR_KEY_NOT_PROTECTED, 178},
    {ERR_TOKEN_REPLACED_KEY, 187},
    {ERR_REQUEST_UNANSWERED, 188},
    {ERR_NO_ROOM_FOR_CERTIFICATE, 189},
    {ERR_KEYGEN_NEEDS_ADMIN, 190},
    {ERR_OLD_CERTIFICATE_KEPT, 191},
    {ERR_LOGIN_REFUSED, 192},
    {ERR_TOKEN_SLOTS, 193},
    {ERR_DECLARATION_UNSHOWN, 195},
    {ERR_CERT_NOT_YET_VALID, 196},
    {ERR_CERT_EXPIRED, 197},
    {ERR_TLS_INSPECTED, 198},
    {ERR_PROXY_AUTH, 204},
    {ERR_KEYGEN_FIXED_SLOTS, 220},
};

}  // namespace

std::wstring_view LoadString(int number) {
    const auto it = std::find_if(std::begin(kStrings), std::end(kStrings),
                                 [number](const Entry& e) { return e.number == number; });
    return it == std::end(kStrings) ? std::wstring_view() : std::wstring_view(it->text);
}

std::wstring OldDriverText() {
    const std::wstring address = QE_WIDEN(QUORVANE_SUPPORT_URL);
    return std::wstring(kOldDriverBeforeLink) + L"{{\\field{\\*\\fldinst{HYPERLINK " + address +
           L" }}{\\fldrslt{" + address + L"\\ul0\\cf0}}}}" + kOldDriverAfterLink;
}

std::wstring ErrorText(ErrorId id, const std::wstring& serverMessage) {
    if (id == ERR_SERVER && !serverMessage.empty()) {
        return serverMessage;
    }
    if (id == ERR_OLD_DRIVER) {
        return OldDriverText();
    }
    for (const auto& [errorId, number] : kErrorStrings) {
        if (errorId == id) {
            return std::wstring(LoadString(number));
        }
    }
    return std::wstring(LoadString(128));
}

std::span<const int> StepTextNumbers(WorkMode mode) {
    switch (mode) {
        case WorkMode::StatusCheck:
            return kStatusSteps;
        case WorkMode::RequestGeneration:
            return kRequestSteps;
        case WorkMode::Download:
            return kDownloadSteps;
    }
    return {};
}

std::wstring_view StepText(WorkMode mode, int step) {
    const auto numbers = StepTextNumbers(mode);
    if (step < 0 || static_cast<std::size_t>(step) >= numbers.size()) {
        return {};
    }
    return LoadString(numbers[static_cast<std::size_t>(step)]);
}

}  // namespace qe
