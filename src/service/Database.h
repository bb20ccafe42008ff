#pragma once

#include "service/Store.h"

#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <memory>
#include <type_traits>

// The store behind a thread pool of its own, so that no I/O thread ever waits for the database: a coroutine
// awaits call() and resumes on its own executor with the result (or the StoreError) of the work.
namespace quilvant::service {

class Database
{
public:
    Database(std::unique_ptr<Store> store, unsigned threads)
        : m_store(std::move(store))
        , m_pool(threads)
    {}
    ~Database() { stop(); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Not a coroutine itself: the work and its result travel in plain handlers, posted to the pool and then
    // dispatched back to the awaiting coroutine's executor.
    template <typename Work>
    auto call(Work work) -> boost::asio::awaitable<std::invoke_result_t<Work&, Store&>>
    {
        using Result = std::invoke_result_t<Work&, Store&>;
        using Signature =
            std::conditional_t<std::is_void_v<Result>, void(std::exception_ptr), void(std::exception_ptr, Result)>;
        return boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, Signature>(
            [this](auto handler, Work job) {
                auto resume = boost::asio::get_associated_executor(handler);
                boost::asio::post(m_pool, [this, handler = std::move(handler), job = std::move(job),
                                           resume = std::move(resume)]() mutable {
                    std::exception_ptr failure;
                    if constexpr (std::is_void_v<Result>) {
                        try {
                            job(*m_store);
                        } catch (...) {
                            failure = std::current_exception();
                        }
                        boost::asio::dispatch(
                            resume, [handler = std::move(handler), failure]() mutable { std::move(handler)(failure); });
                    } else {
                        Result result{};
                        try {
                            result = job(*m_store);
                        } catch (...) {
                            failure = std::current_exception();
                        }
                        boost::asio::dispatch(
                            resume, [handler = std::move(handler), failure, result = std::move(result)]() mutable {
                                std::move(handler)(failure, std::move(result));
                            });
                    }
                });
            },
            boost::asio::use_awaitable, std::move(work));
    }

    // Lets the work already queued finish, then ends the threads.
    void stop() { m_pool.join(); }

    Store& store() { return *m_store; }

private:
    std::unique_ptr<Store> m_store;
    boost::asio::thread_pool m_pool;
};

} // namespace quilvant::service
