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
    // A certificate field whose value cannot be decoded.
    {221, L"Valoare care nu poate fi citită"},
    // A token found unable to carry a renewal through before anything is generated or sent, and a
    // new key the token would not protect.
    {171, L"Dispozitivul criptografic nu este inițializat. Vă rugăm să contactați suportul Quorvane."},
    {172, L"Codul PIN al dispozitivului criptografic nu a fost setat. Setați-l cu programul de administrare a dispozitivului criptografic și reluați procedura de generare."},
    {173, L"Codul PIN este blocat pe dispozitivul criptografic. Deblocați-l cu programul de administrare a dispozitivului criptografic și reluați procedura de generare."},
    {174, L"Dispozitivul criptografic este protejat la scriere: pe el nu se pot crea chei noi. Nu s-a trimis nicio cerere."},
    {175, L"Dispozitivul criptografic nu poate genera chei RSA de 2048 de biți. Nu s-a trimis nicio cerere. Vă rugăm să contactați suportul Quorvane."},
    {176, L"Dispozitivul criptografic nu poate primi noul certificat (nu permite decriptarea RSA). Nu s-a trimis nicio cerere. Vă rugăm să contactați suportul Quorvane."},
    {177, L"Dispozitivul criptografic nu poate semna cu noul certificat (nu permite semnarea RSA). Nu s-a trimis nicio cerere. Vă rugăm să contactați suportul Quorvane."},
    {178, L"Dispozitivul criptografic nu a protejat corespunzător cheia nou creată (aceasta putea fi copiată de pe dispozitiv), de aceea aplicația a șters-o. Nu s-a trimis nicio cerere. Vă rugăm să contactați suportul Quorvane."},
    // Asked before a new request replaces an issued certificate that was not installed yet.
    {179, L"Aveți un certificat nou, deja emis, care așteaptă să fie încărcat pe dispozitivul criptografic cu butonul „Încarcă certificat”. Dacă generați o cerere nouă, acest certificat va fi înlocuit și nu va mai putea fi încărcat. Doriți totuși să generați o cerere nouă?"},
    // The PIN dialog after a wrong PIN when the token shows no count of the tries left.
    {180, L"Atenție: a fost introdus un cod PIN greșit. Numărul de încercări rămase până la blocarea codului PIN nu este cunoscut."},
    // The expiry reminder's notifications: %1 the holder, %2 the last day of validity.
    {181, L"Certificatul calificat expiră în curând"},
    {182, L"Certificatul calificat al titularului %1 expiră pe %2. Reînnoiți-l înainte de această dată, cu dispozitivul criptografic conectat la calculator; după expirare va fi necesară o vizită la Quorvane."},
    {183, L"Certificatul calificat a expirat"},
    {184, L"Certificatul calificat al titularului %1 a expirat pe %2 și nu mai poate fi reînnoit din aplicație; este necesară o vizită la Quorvane."},
    {185, L"Reînnoiește"},
    // Shown while a token whose reader has its own keypad waits for the PIN there.
    {186, L"Introduceți codul PIN direct pe tastatura cititorului de carduri, nu pe cea a calculatorului."},
    // A token that generated the new keys into the place of a certificate's key, and a request
    // whose answer never came.
    {187, L"La generarea cheilor noi, dispozitivul criptografic a înlocuit certificatul existent sau cheia acestuia. Cererea nu a fost trimisă și nu s-a mai modificat nimic pe dispozitiv. Vă rugăm să contactați suportul Quorvane."},
    {188, L"Cererea a fost trimisă către Quorvane, dar nu s-a primit niciun răspuns, deci nu se știe dacă a ajuns. Cheile noi au rămas pe dispozitivul criptografic. După ce apăsați „OK”, aplicația verifică din nou starea certificatelor: dacă butonul „Încarcă certificat” devine activ, apăsați-l; altfel, apăsați din nou „Generează Cerere”."},
    // A certificate the token has no room for, a token that makes keys only for its administrator,
    // an old certificate the token kept, a login refused without a PIN result.
    {189, L"Nu este suficient spațiu pe dispozitivul criptografic pentru noul certificat. Nu s-a modificat nimic pe dispozitiv, iar noul certificat rămâne disponibil la Quorvane. Ștergeți de pe dispozitiv certificatele expirate (cu programul de administrare a dispozitivului criptografic) sau contactați suportul Quorvane, apoi apăsați din nou „Încarcă certificat”."},
    {190, L"Dispozitivul criptografic permite generarea cheilor noi doar cu codul PIN de administrator, pe care această aplicație nu îl folosește. Nu s-a trimis nicio cerere. Dacă dispozitivul criptografic v-a fost dat de firma dumneavoastră, contactați departamentul IT al firmei; altfel, vă rugăm să contactați suportul Quorvane."},
    {191, L"Noul certificat a fost încărcat cu succes. Certificatul vechi nu a putut fi șters și a rămas pe dispozitivul criptografic: la semnare, alegeți certificatul nou. Dacă doriți, îl puteți șterge pe cel vechi cu programul de administrare a dispozitivului criptografic."},
    {192, L"Codul PIN nu a fost acceptat de dispozitivul criptografic, cel mai probabil pentru că este greșit. Numărul de încercări rămase nu este cunoscut, iar după prea multe încercări greșite codul PIN se blochează: verificați-l cu atenție înainte de a încerca din nou."},
    // One card that shows itself as several tokens with one serial number.
    {193, L"Dispozitivul criptografic apare în calculator ca mai multe dispozitive cu același număr de serie, iar aplicația nu poate stabili pe care dintre ele se află certificatul. Nu s-a modificat nimic. Dacă aveți conectate mai multe dispozitive criptografice, lăsați doar unul și încercați din nou; altfel, vă rugăm să contactați suportul Quorvane."},
    // OK pressed in the PIN dialog with the field empty.
    {194, L"Nu ați introdus codul PIN."},
    // The declaration that could not be shown: not written whole, or not readable as a picture.
    {195, L"Declarația de acceptanță nu a putut fi salvată pe calculator pentru a fi afișată, de aceea nu a fost semnată, iar certificatul nu a fost încărcat; el rămâne disponibil la Quorvane. Eliberați spațiu pe disc, apoi apăsați din nou „Încarcă certificat”. Dacă problema persistă, vă rugăm să contactați suportul Quorvane."},
    {219, L"Declarația de acceptanță primită de la Quorvane nu a putut fi citită, de aceea nu a fost afișată și nu a fost semnată, iar certificatul nu a fost încărcat; el rămâne disponibil la Quorvane. Apăsați din nou „Încarcă certificat”. Dacă problema persistă, vă rugăm să contactați suportul Quorvane."},
    // A certificate outside its dates: the clock, or a renewal only the authority can make.
    {196, L"Data și ora calculatorului par să fie în urmă, așa că certificatul calificat apare ca nefiind încă valabil. Corectați data și ora, apoi porniți din nou aplicația."},
    {197, L"Certificatul calificat de pe dispozitivul criptografic a expirat și nu mai poate fi reînnoit din această aplicație; este necesară o vizită la Quorvane."},
    // Expired by this computer's clock, which is ahead of the authority's.
    {220, L"Data calculatorului este după cea a serverului Quorvane, așa că certificatul calificat, încă valabil, apare ca expirat. Corectați data, apoi porniți din nou aplicația."},
    // A network that inspects secure connections: another certificate answered in the server's
    // place, or the handshake broke only through the proxy.
    {198, L"Conexiunea securizată cu Quorvane nu a putut fi stabilită: cel mai probabil un antivirus sau un server proxy verifică traficul securizat și se interpune în conexiune. Nu s-a trimis și nu s-a modificat nimic. Excludeți serverele Quorvane de la această verificare (într-o firmă, cereți acest lucru administratorului rețelei), apoi încercați din nou."},
    // A proxy that asks for a password: its dialog (prompt, refused note, title, fields) and the
    // failure when none was given.
    {199, L"Conexiunea la Quorvane trece printr-un server proxy care cere un nume de utilizator și o parolă. Introduceți datele primite de la administratorul rețelei (nu codul PIN și nici datele contului Quorvane):"},
    {200, L"Serverul proxy nu a acceptat numele de utilizator sau parola. Verificați-le și încercați din nou."},
    {201, L"Server proxy"},
    {202, L"Nume de utilizator:"},
    {203, L"Parolă:"},
    {204, L"Conexiunea la Quorvane trece printr-un server proxy care cere un nume de utilizator și o parolă, iar acestea nu au fost introduse sau nu au fost acceptate. Cereți-le administratorului rețelei, apoi reluați procedura."},
    // A card in a reader that no token library shows, and a card another program holds.
    {205, L"Dispozitivul criptografic este conectat, dar pe acest calculator nu este instalat programul necesar pentru a-l folosi, așa că nu a fost citit și nu s-a modificat nimic pe el. Instalați programul dispozitivului criptografic de la producătorul acestuia, apoi reluați procedura."},
    {206, L"Dispozitivul criptografic este conectat, dar un alt program îl folosește în acest moment, așa că nu a putut fi accesat și nu s-a modificat nimic pe el. Închideți celălalt program (de exemplu aplicația producătorului sau un browser care folosește dispozitivul criptografic), apoi reluați procedura."},
    {207, L"Dispozitivul criptografic cere un cod PIN nou înainte de a permite folosirea cheii (codul PIN primit la emiterea dispozitivului sau un cod PIN expirat). Alegeți codul PIN nou și introduceți-l de două ori:"},
    {208, L"Cod PIN nou:"},
    {209, L"Confirmați codul PIN nou:"},
    {210, L"Cele două coduri PIN nu coincid."},
    {211, L"Codul PIN nou trebuie să aibă între %1 și %2 caractere."},
    {212, L"Schimbarea codului PIN"},
    {213, L"Dispozitivul criptografic nu a acceptat codul PIN nou, așa că codul PIN nu a fost schimbat. Reluați procedura și alegeți un alt cod PIN nou, potrivit regulilor dispozitivului."},
    {214, L"Schimbați codul PIN pe tastatura cititorului: introduceți codul PIN actual, apoi de două ori codul PIN nou."},
    // The key pair ledger that could not be written (nothing sent), and the register's text for a
    // certificate whose private key is no longer on the token.
    {215, L"Aplicația nu a putut scrie pe disc evidența cheilor noi (discul este plin sau dosarul în care aplicația își păstrează datele nu poate fi scris), de aceea cererea nu a fost trimisă. Pe dispozitivul criptografic nu a rămas nimic nou: cheile generate pentru cerere au fost șterse, iar certificatul existent nu a fost modificat. Eliberați spațiu pe disc, apoi apăsați din nou „Generează Cerere”. Dacă problema persistă, vă rugăm să contactați suportul Quorvane."},
    {216, L"Cheia privată a certificatului pe care doriți să îl reînnoiți nu se mai află pe dispozitivul criptografic (de obicei pentru că dispozitivul a înlocuit-o cu o cheie nouă la o generare anterioară), așa că acest certificat nu mai poate fi folosit pentru reînnoire. Nu s-a trimis nicio cerere și nu s-a modificat nimic pe dispozitiv. Nu încercați din nou cu acest certificat. Vă rugăm să contactați suportul Quorvane, care vă va spune cum puteți obține un certificat nou."},
    // The proxy login dialog's note when the password would go to the proxy in clear.
    {217, L"Atenție: acest server proxy primește numele de utilizator și parola necriptate, așa că le poate citi oricine vede traficul din rețea până la el. Introduceți-le doar dacă serverul proxy de mai sus este cel al rețelei dumneavoastră; altfel renunțați și întrebați administratorul rețelei."},
    // A certificate installed whose confirmation got no answer.
    {218, L"Noul certificat a fost instalat pe dispozitivul criptografic și îl puteți folosi. Confirmarea instalării a fost trimisă către Quorvane, dar răspunsul nu a mai ajuns (conexiunea s-a întrerupt), așa că nu se știe dacă a fost înregistrată. Dacă aplicația vă oferă în continuare butonul „Încarcă certificat”, apăsați-l din nou pentru a încheia procedura; certificatul instalat rămâne pe dispozitiv."},
    {222, L"Dispozitivul criptografic își păstrează cheile doar în locuri fixe și generează chei noi doar cu cheia administratorului său, așa că această aplicație nu poate genera noua cheie pe el. Nu s-a trimis nicio cerere și nu s-a modificat nimic pe dispozitiv. Vă rugăm să contactați suportul Quorvane sau producătorul dispozitivului."},
    {223, L"Serviciul calculatorului pentru cititoare de carduri (pcscd) nu funcționează, așa că dispozitivul criptografic nu poate fi folosit acum. Reporniți calculatorul (sau cereți administratorului să pornească serviciul pcscd), apoi reluați procedura. Dacă mesajul apare din nou, vă rugăm să contactați suportul Quorvane."},
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
    {ERR_DECLARATION_UNREADABLE, 219},
    {ERR_CERT_NOT_YET_VALID, 196},
    {ERR_CERT_EXPIRED, 197},
    {ERR_CERT_EXPIRED_CLOCK, 220},
    {ERR_TLS_INSPECTED, 198},
    {ERR_PROXY_AUTH, 204},
    {ERR_LEDGER_UNWRITABLE, 215},
    {ERR_TOKEN_NO_SOFTWARE, 205},
    {ERR_TOKEN_IN_USE, 206},
    {ERR_NEW_PIN_REFUSED, 213},
    {ERR_INSTALLED_UNCONFIRMED, 218},
    {ERR_KEYGEN_FIXED_SLOTS, 222},
    {ERR_CARD_SERVICE_DOWN, 223},
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
