#include "engine/help_text.h"

#include "engine/command_line.h"

namespace tapline::engine {

InfoRequest FindInfoRequest(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") return InfoRequest::Help;
    if (a == "--version") return InfoRequest::Version;
    // An option's value is never a request.
    if (i >= 3 && OptionTakesValue(a)) ++i;
  }
  return InfoRequest::None;
}

std::string HelpText(bool window) {
  const std::string program = window ? "tapline" : "tapline-cli";
  std::string text =
      "Usage: " + program +
      " <remote host> <remote port> <local port> [options]\n"
      "       " + program + " --help | -h | --version\n"
      "\n";
  if (window) {
    text +=
        "Relays TCP connections from a local port to a remote host and port and shows every event and\n"
        "every received block in the window's log view. Without arguments the window opens with the\n"
        "saved parameters.\n";
  } else {
    text +=
        "Relays TCP connections from a local port to a remote host and port at once and prints every\n"
        "event and every received block to standard output; a status line on standard error (when it is\n"
        "a terminal) shows the connections and the transferred and buffered bytes.\n";
  }
  text +=
      "\n"
      "Arguments:\n"
      "  <remote host>          name, IPv4 address or IPv6 address (plain or in brackets) of the server\n"
      "  <remote port>          the server's port\n"
      "  <local port>           the port to listen on (0: the system chooses)\n"
      "\n"
      "Options (exact and case-sensitive; the last one given counts):\n"
      "  -file <log file>       also write the log to this file: HTML when the name ends in .htm or\n"
      "                         .html, plain text otherwise\n"
      "  -pcap <capture file>   also write every relayed connection to this pcapng file (Wireshark,\n"
      "                         tshark), whatever the detail\n"
      "  -split <folder>        also write each connection's two directions to two files of this folder,\n"
      "                         byte for byte as forwarded, named <number>-<from>-to-<to>.bin\n"
      "  -json <file>           also write every event as JSON Lines (one object a line; data in base64\n"
      "                         and, when it is UTF-8 text, as text), whatever the detail\n"
      "  -size 32KB|128KB|512KB|2MB|Unlimited\n";
  if (window) {
    text +=
        "                         characters the log view keeps\n"
        "  -detail Low|Medium|High\n"
        "                         what the log view shows; the log file gets everything\n";
  } else {
    text +=
        "                         accepted for the window's sake; standard output keeps everything\n"
        "  -detail Low|Medium|High\n"
        "                         what standard output shows; the log file gets everything\n";
  }
  if (window) {
    text += "  -auto                  start relaying as soon as the window is up; closing it asks nothing\n";
  } else {
    text += "  -auto                  accepted for the window's sake; tapline-cli always starts at once\n";
  }
  text +=
      "  -hexonly               show received data only as a hex dump\n"
      "  -bind <address>        listen on this address only (IPv4 or IPv6, or a name) instead of every\n"
      "                         interface of both families\n"
      "  -keephost              forward requests with their own Host line instead of naming the remote\n"
      "  -tls                   speak TLS to the remote host (its certificate is verified against the\n"
      "                         system's trust store and the remote host's name or address)\n"
      "  -tls-ca <file>         also trust the certificates of this PEM file\n"
      "  -tls-insecure          do not verify the remote's certificate\n"
      "  -tls-listen            clients must speak TLS; Tapline shows the plaintext\n"
      "  -tls-cert <file>       the certificate (chain) clients get, PEM; without it Tapline makes its own\n"
      "                         for localhost, 127.0.0.1 and ::1 once and keeps it\n"
      "  -tls-key <file>        the key of -tls-cert, PEM (default: read from the -tls-cert file)\n"
      "  -connect-timeout <seconds>\n"
      "                         give up a connect to the remote after this many seconds (0 to 3600) and\n"
      "                         try its next address; 0, or without it, the system's own timeout\n"
      "  -h, --help             print this help and exit\n"
      "  --version              print the version and exit\n";
  if (window) {
    text +=
        "The capture file, the listening address, TLS and the connect timeout are also in Tools >\n"
        "Connection Options; the options given override what is saved there.\n";
  }
  text +=
      "\n"
      "Exit status:\n";
  if (window) {
    text +=
        "  0  the window was closed; --help, -h or --version; a usage error (shown in a message box and\n"
        "     printed to standard error); or the sockets layer could not be started (after its message)\n";
  } else {
    text +=
        "  0  stopped by SIGINT, SIGTERM or SIGHUP, or --help or --version\n"
        "  1  the relay run ended by itself (host not found, local port in use)\n"
        "  2  a usage error (what is wrong, then the usage) or a field error\n";
  }
  text += "\nFiles:\n";
  if (window) {
    text +=
        "  ~/.config/Fenwold/Tapline.conf   the saved settings (window, parameters, log view)\n"
        "  /etc/xdg/Fenwold/Tapline.conf    InstallDir: where to look for the help page first\n";
  }
  text +=
      "  <log file>                       as named with -file" + std::string(window ? " or in the window" : "") +
      "\n"
      "  $XDG_DATA_HOME/Tapline/          Tapline's own certificate for -tls-listen (localhost-certificate.pem)\n"
      "                                   and its key (localhost-key.pem, mode 0600); ~/.local/share/Tapline\n"
      "                                   without XDG_DATA_HOME\n"
      "  <capture file>                   as named with -pcap" + std::string(window ? " or in Connection Options" : "") +
      "\n"
      "  <folder>/<n>-<from>-to-<to>.bin  one direction of connection <n>, as named with -split" +
      std::string(window ? " or in Connection Options" : "") +
      "\n"
      "  <JSON file>                      as named with -json" + std::string(window ? " or in Connection Options" : "") +
      "\n"
      "  A new log, capture or export file is readable by you alone (mode 0600): it holds what was said\n"
      "  (with -tls-listen, decrypted). A file that exists keeps its mode.\n"
      "\nSee " + program + "(1).\n";
  return text;
}

std::string VersionText(bool window, const std::string& version) {
  return std::string(window ? "tapline " : "tapline-cli ") + version + "\nCopyright Fenwold.\n";
}

}  // namespace tapline::engine
