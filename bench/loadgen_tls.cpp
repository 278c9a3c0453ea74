// The TLS ends of the benchmarks' TLS bulk run, with OpenSSL on blocking sockets: a sink that takes TLS
// connections and answers each one's byte count, and a client that sends to it and prints MB/s.
// Loopback only; each connection on a thread of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

int ListenAndSayPort(int backlog);  // loadgen.cpp

namespace {

using Clock = std::chrono::steady_clock;

bool WriteAll(SSL* ssl, const char* p, std::size_t n) {
  while (n > 0) {
    std::size_t done = 0;
    if (SSL_write_ex(ssl, p, n, &done) != 1) return false;
    p += done;
    n -= done;
  }
  return true;
}

}  // namespace

// tls-sink CERT KEY: reads each connection to its end (close_notify or a bare end), answers the count.
int TlsSink(const char* cert, const char* key) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (SSL_CTX_use_certificate_chain_file(context, cert) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, key, SSL_FILETYPE_PEM) != 1) {
    ERR_print_errors_fp(stderr);
    return 1;
  }
  int listener = ListenAndSayPort(64);
  for (;;) {
    int c = accept(listener, nullptr, nullptr);
    if (c < 0) continue;
    std::thread([c, context] {
      SSL* ssl = SSL_new(context);
      SSL_set_fd(ssl, c);
      std::vector<char> buf(1 << 16);
      std::uint64_t total = 0;
      if (SSL_accept(ssl) == 1) {
        std::size_t n = 0;
        while (SSL_read_ex(ssl, buf.data(), buf.size(), &n) == 1) total += n;
        WriteAll(ssl, reinterpret_cast<char*>(&total), sizeof total);
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      close(c);
    }).detach();
  }
}

// tls-bulk PORT MB CA: sends MB megabytes over TLS (verifying "localhost" against CA), ends with
// close_notify and waits for the sink's count: MB/s, handshake included.
int TlsBulk(int port, long megabytes, const char* ca) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(context, ca, nullptr) != 1) {
    ERR_print_errors_fp(stderr);
    return 1;
  }
  std::vector<char> buf(1 << 20);
  std::mt19937 random(2);
  for (char& ch : buf) ch = static_cast<char>(random());
  auto start = Clock::now();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set1_host(ssl, "localhost");
  if (SSL_connect(ssl) != 1) {
    ERR_print_errors_fp(stderr);
    return 1;
  }
  for (long i = 0; i < megabytes; ++i) {
    if (!WriteAll(ssl, buf.data(), buf.size())) return 1;
  }
  SSL_shutdown(ssl);  // close_notify: the sink's cue to answer
  std::uint64_t total = 0;
  std::size_t got = 0, n = 0;
  while (got < sizeof total && SSL_read_ex(ssl, reinterpret_cast<char*>(&total) + got, sizeof total - got, &n) == 1) got += n;
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  SSL_free(ssl);
  close(fd);
  if (got != sizeof total || total != static_cast<std::uint64_t>(megabytes) << 20) {
    std::fprintf(stderr, "tls sink got %llu bytes\n", static_cast<unsigned long long>(total));
    return 1;
  }
  std::printf("%.1f\n", megabytes / seconds);
  return 0;
}
