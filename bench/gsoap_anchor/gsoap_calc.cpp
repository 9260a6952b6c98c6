// The gSOAP anchor's server and client over the code soapcpp2 generated from
// calc.gsoap.h; see gsoap_calc.h.
#include "bench/gsoap_anchor/gsoap_calc.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "calc.nsmap"
#include "soapH.h"

// The service operation the generated dispatcher calls.
int c__Add(struct soap*, double a, double b, struct c__AddResponse* response) {
  response->Result = a + b;
  return SOAP_OK;
}

namespace krsoap::bench::gsoap {
namespace {

void NoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Serves one accepted connection until the client closes it.
void* ServeConnection(void* arg) {
  struct soap* soap = static_cast<struct soap*>(arg);
  NoDelay(soap->socket);
  soap_serve(soap);  // loops over the requests of a kept-alive connection
  soap_destroy(soap);
  soap_end(soap);
  soap_free(soap);
  return nullptr;
}

[[noreturn]] void Serve(struct soap* master, int ready_fd) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(master->master, reinterpret_cast<sockaddr*>(&bound), &length);
  const int actual = ntohs(bound.sin_port);
  (void)!::write(ready_fd, &actual, sizeof actual);
  ::close(ready_fd);
  while (true) {
    if (!soap_valid_socket(soap_accept(master))) continue;
    struct soap* copy = soap_copy(master);
    if (!copy) {
      soap_force_closesock(master);
      continue;
    }
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&thread, &attr, ServeConnection, copy) != 0) {
      soap_force_closesock(copy);
      soap_free(copy);
    }
    pthread_attr_destroy(&attr);
  }
}

}  // namespace

pid_t StartServer(int* port) {
  *port = 0;
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    ::close(fds[0]);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGPIPE, SIG_IGN);
    struct soap* master = soap_new2(SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
    if (master) {
      master->bind_flags = SO_REUSEADDR;
      master->send_timeout = master->recv_timeout = 30;
    }
    if (!master || !soap_valid_socket(soap_bind(master, "127.0.0.1", 0, 128))) {
      std::fprintf(stderr, "gSOAP anchor: cannot listen on 127.0.0.1\n");
      ::_exit(1);
    }
    Serve(master, fds[1]);
  }
  ::close(fds[1]);
  int got = 0;
  const bool ok = ::read(fds[0], &got, sizeof got) == static_cast<ssize_t>(sizeof got) && got > 0;
  ::close(fds[0]);
  if (!ok) {
    ::kill(pid, SIGTERM);
    return -1;
  }
  *port = got;
  return pid;
}

struct Client {
  struct soap* soap;
  std::string endpoint;
};

namespace {
// The client's connection is made inside the generated call; TCP_NODELAY is
// set on it as it is opened.
SOAP_SOCKET OpenNoDelay(struct soap* soap, const char* endpoint, const char* host, int port) {
  auto* open = reinterpret_cast<SOAP_SOCKET (*)(struct soap*, const char*, const char*, int)>(soap->user);
  const SOAP_SOCKET fd = open(soap, endpoint, host, port);
  if (soap_valid_socket(fd)) NoDelay(fd);
  return fd;
}
}  // namespace

Client* NewClient(int port) {
  struct soap* soap = soap_new2(SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
  if (!soap) return nullptr;
  soap->send_timeout = soap->recv_timeout = 30;
  soap->user = reinterpret_cast<void*>(soap->fopen);
  soap->fopen = OpenNoDelay;
  return new Client{soap, "http://127.0.0.1:" + std::to_string(port) + "/calculator"};
}

bool Add(Client* client, double a, double b, double* result) {
  c__AddResponse response{};
  const int rc = soap_call_c__Add(client->soap, client->endpoint.c_str(), nullptr, a, b, &response);
  soap_destroy(client->soap);
  soap_end(client->soap);  // the call's temporary data; the connection stays
  if (rc != SOAP_OK) return false;
  *result = response.Result;
  return true;
}

void FreeClient(Client* client) {
  if (!client) return;
  soap_closesock(client->soap);
  soap_free(client->soap);
  delete client;
}

}  // namespace krsoap::bench::gsoap
