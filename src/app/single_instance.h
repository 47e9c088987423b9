#pragma once

#include <string>

namespace qe {

inline constexpr const char* kInstanceLockName = "QuorvaneEnroll MUTEX";

// The desktop-wide single-instance guard: an exclusive flock on "QuorvaneEnroll MUTEX" in the
// per-user runtime directory ($XDG_RUNTIME_DIR, else the private temporary directory, else, when
// another user holds that one's name, the user's cache directory), and beside it a listening
// abstract socket named after the user and that directory, which holds when the file cannot be
// made. The kernel releases both when the process ends, however it ends.
class SingleInstance {
public:
    // Tries to take the lock; `lockDirectory` empty means the default directory.
    explicit SingleInstance(const std::string& lockDirectory = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when another copy holds the lock. A lock that cannot be set up at all does not stop
    // the wizard.
    bool AlreadyRunning() const { return alreadyRunning_; }
    // True when this copy holds the lock: no other copy runs.
    bool Held() const { return fd_ >= 0 || socket_ >= 0; }

    // What answered at the socket's name when this copy could not make it. Unanswered: a queue
    // that stayed full, of this user's running copy or of anyone else's socket; the copy starts
    // (a refusal would let any local program keep the wizard from starting).
    enum class Peer { None, Ours, Unanswered };
    Peer FoundPeer() const { return peer_; }
    // The listening socket (-1 when none): readable when a copy that looked waits for an answer.
    int ListeningSocket() const { return socket_; }
    // Takes and closes the connections of the copies that looked.
    void AnswerWaiting() const;

private:
    int fd_ = -1;
    int socket_ = -1;
    bool alreadyRunning_ = false;
    Peer peer_ = Peer::None;
};

// The text and caption of the box shown by a second copy before it ends.
inline constexpr const wchar_t* kAlreadyRunningText = L"Aplicatia este deja deschisa.";
inline constexpr const wchar_t* kAlreadyRunningCaption = L"Quorvane Enroll";

}  // namespace qe
