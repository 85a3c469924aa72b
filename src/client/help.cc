#include "client/help.h"

namespace {

constexpr const char* kMain = R"(NAME
    zelfo - command-line client for the Zelfo file server

SYNOPSIS
    zelfo [OPTIONS] COMMAND [ARGS]
    zelfo COMMAND --help

DESCRIPTION
    zelfo speaks the server's private commands: hash logins that never send
    the password, econn data connections, joint mirroring with checksums,
    file maps, the board and the operator commands.

    The server is named by a URL, ftp://USER@HOST:PORT (plain, or explicit
    TLS with --tls) or ftps://USER@HOST:PORT (implicit TLS). Write an IPv6
    host in brackets: ftp://admin@[::1]:2121. A user name ending in .BACK
    works in the account's backup tree instead of the shared resources; put,
    mirror-up and mirror-down always do, as the server accepts uploads only
    there.

COMMANDS
    ls [PATH]                    list a remote directory
    get REMOTE [LOCAL]           download a file
    put LOCAL [REMOTE]           upload a file (backup tree)
    mirror-up LOCALDIR REMOTEDIR     mirror a local tree up (backup tree)
    mirror-down REMOTEDIR LOCALDIR   mirror a remote tree down (backup tree)
    map REMOTE                   publish a file; prints its HTTP URL
    unmap URL                    withdraw a published file
    bbs [post TEXT]              read the board, or post to it
    admin VERB [ARGS]            send an operator command

OPTIONS
    --url URL            the server (default: $ZELFO_URL)
    --tls                explicit TLS (AUTH TLS) on an ftp:// URL
    --insecure           accept any server certificate (self-signed ones)
    --ca FILE            verify the certificate against FILE instead of the
                         system store
    --password-file FILE read the password from the first line of FILE
    --clear-login        log in with USER/PASS instead of the hash login
    --econn              data connections through the server's econn port
                         (CONN, or CONS under TLS) instead of passive mode
    --json               print one JSON object per result
    --long               map: a long map for everybody; unmap: remove long
                         maps by path ("*" for all)
    --https              map: an HTTPS URL when the server offers HTTPS
    --delete             mirror: remove what the source lacks
    --help               this text; COMMAND --help for one command

PASSWORD
    The password is read from $ZELFO_PASSWORD, from --password-file, or
    from a prompt without echo on a terminal; never from the command line.
    The hash login sends only a hash made with the session's values.

ENVIRONMENT
    ZELFO_URL       the server URL when --url is not given
    ZELFO_PASSWORD  the password

EXIT STATUS
    0  done
    1  the server refused (login, command, path)
    2  usage error
    3  connection or TLS failure, or the connection dropped
    4  a transfer failed or a checksum did not match

    A failure prints one line, "zelfo: ...", on standard error.

OUTPUT
    Transfers that take more than a second show a progress bar with rate
    and time left when standard error is a terminal. With --json every
    result is one JSON object on its own line.

EXAMPLES
    export ZELFO_URL=ftps://alice@files.example:990
    zelfo ls share
    zelfo --econn get share/film.mkv
    zelfo --delete mirror-up ~/photos photos
    zelfo mirror-down photos /tmp/photos
    zelfo map share/film.mkv
)";

struct CommandHelp {
  const char* name;
  const char* text;
};

constexpr CommandHelp kCommands[] = {
    {"ls", R"(NAME
    zelfo ls - list a remote directory

SYNOPSIS
    zelfo [OPTIONS] ls [PATH]

DESCRIPTION
    Lists PATH (default: the top of the tree): one line per entry with its
    kind (d or -), size, last-write time and name; directories end in "/".
    With --json: {"name","type","size","mtime"} per entry.
)"},
    {"get", R"(NAME
    zelfo get - download a file

SYNOPSIS
    zelfo [OPTIONS] get REMOTE [LOCAL]

DESCRIPTION
    Downloads REMOTE to LOCAL (default: its name in the current directory;
    a directory takes the name inside). The file is written beside its
    target and replaces it only when the whole file arrived and the server
    confirmed the byte count; otherwise the exit status is 4.
)"},
    {"put", R"(NAME
    zelfo put - upload a file

SYNOPSIS
    zelfo [OPTIONS] put LOCAL [REMOTE]

DESCRIPTION
    Uploads LOCAL to REMOTE (default: its name) in the account's backup
    tree. The exit status is 4 unless the server confirms every byte.
)"},
    {"mirror-up", R"(NAME
    zelfo mirror-up - mirror a local tree to the server

SYNOPSIS
    zelfo [OPTIONS] [--delete] mirror-up LOCALDIR REMOTEDIR

DESCRIPTION
    Makes REMOTEDIR in the account's backup tree a copy of LOCALDIR. Each
    directory is one joint transfer over one data connection; chunks carry
    checksums when the server allows them. A file moves only when its size
    or last-write time differs; its time is kept. With --delete, remote
    entries that LOCALDIR lacks are removed. Symbolic links and special
    files are left out; names the server cannot take are reported and
    make the exit status 4.
)"},
    {"mirror-down", R"(NAME
    zelfo mirror-down - mirror a remote tree to a local directory

SYNOPSIS
    zelfo [OPTIONS] [--delete] mirror-down REMOTEDIR LOCALDIR

DESCRIPTION
    Makes LOCALDIR a copy of REMOTEDIR in the account's backup tree (what
    mirror-up wrote), one joint transfer per directory,
    with checksums when the server allows them. A file moves only when its
    size or last-write time differs; each file is written beside its target
    and replaces it when complete. With --delete, local entries that
    REMOTEDIR lacks are removed.
)"},
    {"map", R"(NAME
    zelfo map - publish a file over HTTP

SYNOPSIS
    zelfo [OPTIONS] [--long] [--https] map REMOTE

DESCRIPTION
    Maps REMOTE in the server's file map and prints the full URL. A normal
    map serves the client's own address; --long makes a long map for
    everybody (accounts with the share right). --https asks for the HTTPS
    port when the server offers HTTPS.
)"},
    {"unmap", R"(NAME
    zelfo unmap - withdraw a published file

SYNOPSIS
    zelfo [OPTIONS] unmap URL
    zelfo [OPTIONS] --long unmap PATH

DESCRIPTION
    Marks the map of URL (as map printed it) as no longer needed; the server
    drops it once nobody plays it. With --long, removes the long map of
    PATH ("*": every long map, administrator only).
)"},
    {"bbs", R"(NAME
    zelfo bbs - the server's message board

SYNOPSIS
    zelfo [OPTIONS] bbs
    zelfo [OPTIONS] bbs post TEXT

DESCRIPTION
    Prints the board, oldest first: the operators' messages, a "--------"
    line, then everybody else's. "bbs post TEXT" posts a message of up to
    119 characters.
)"},
    {"admin", R"(NAME
    zelfo admin - send an operator command

SYNOPSIS
    zelfo [OPTIONS] admin VERB [ARGS]

DESCRIPTION
    Sends VERB with ARGS (for example VFUL, VFCL, TEMP 0, CIPW) and prints
    the reply's lines. When the server's command protect asks for it, the
    command is signed (SHUT and the file commands). A refusal gives exit
    status 1.
)"},
};

}  // namespace

std::string HelpText(const std::string& command) {
  if (command.empty()) return kMain;
  for (const CommandHelp& c : kCommands) {
    if (command == c.name) {
      return std::string(c.text) + "\nSee zelfo --help for the options, the password and the exit status.\n";
    }
  }
  return std::string();
}
