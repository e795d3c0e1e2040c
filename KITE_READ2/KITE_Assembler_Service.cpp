// SPDX-License-Identifier: MIT
#include "KITE_READ2/KITE_Assembler_Service.h"

#include <ace/Dev_Poll_Reactor.h>
#include <ace/Reactor.h>

#include <cerrno>
#include <future>
#include <new>
#include <system_error>
#include <thread>

namespace KITE {

// One thread with its reactor and acceptor, which live on the thread's stack.
class Assembler_Service::Worker {
 public:
  // Starts the thread and waits until it listens; 0, or the errno of the failure.
  int start(Assembler_Service* service, const ACE_INET_Addr& address, bool reuse_port) {
    std::promise<int> opened;
    std::future<int> result = opened.get_future();
    try {
      thread_ = std::thread([this, service, address, reuse_port, &opened] {
        run(service, address, reuse_port, opened);
      });
    } catch (const std::system_error& e) {
      return e.code().value();
    }
    const int error = result.get();
    if (error != 0) thread_.join();
    return error;
  }

  void stop(std::chrono::milliseconds grace) {
    // Without a notification the loop would not hear of the stop; it ends the thread at
    // once instead.
    if (acceptor_->request_stop(grace) == -1) reactor_->end_reactor_event_loop();
  }
  void join() { thread_.join(); }

  u_short port() const { return acceptor_->port(); }

 private:
  void run(Assembler_Service* service, const ACE_INET_Addr& address, bool reuse_port,
           std::promise<int>& opened) {
    ACE_Dev_Poll_Reactor* poll = new (std::nothrow) ACE_Dev_Poll_Reactor;
    if (poll == nullptr) {
      opened.set_value(ENOMEM);
      return;
    }
    ACE_Reactor reactor(poll, true);
    Assembler_Acceptor acceptor(service->factory_, service->settings_, &service->count_);
    if (!reactor.initialized() || acceptor.open(address, &reactor, reuse_port) == -1) {
      opened.set_value(errno != 0 ? errno : EINVAL);
      return;
    }
    reactor_ = &reactor;
    acceptor_ = &acceptor;
    opened.set_value(0);
    reactor.run_reactor_event_loop();
  }

  std::thread thread_;
  ACE_Reactor* reactor_ = nullptr;          // on the thread's stack while it runs
  Assembler_Acceptor* acceptor_ = nullptr;  // likewise
};

Assembler_Service::Assembler_Service(Observer_Factory* factory,
                                     const Assembler_Acceptor::Settings& settings)
    : factory_(factory), settings_(settings) {}

Assembler_Service::~Assembler_Service() {
  stop(std::chrono::milliseconds(0));
}

int Assembler_Service::start(const ACE_INET_Addr& address, unsigned int threads) {
  ACE_INET_Addr where = address;
  for (unsigned int i = 0; i < threads || i == 0; ++i) {
    std::unique_ptr<Worker> worker(new (std::nothrow) Worker);
    const int error = worker == nullptr ? ENOMEM : worker->start(this, where, threads > 1);
    if (error != 0) {
      stop(std::chrono::milliseconds(0));
      errno = error;
      return -1;
    }
    where.set_port_number(worker->port());
    workers_.push_back(std::move(worker));
  }
  port_ = where.get_port_number();
  return 0;
}

void Assembler_Service::stop(std::chrono::milliseconds grace) {
  for (const std::unique_ptr<Worker>& worker : workers_) worker->stop(grace);
  for (const std::unique_ptr<Worker>& worker : workers_) worker->join();
  workers_.clear();
  port_ = 0;
}

}  // namespace KITE
