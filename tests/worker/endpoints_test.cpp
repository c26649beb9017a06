// Message pipes and message windows, the two ways into a user's session.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_pipe.h"
#include "platform/runtime_folder.h"
#include "platform/sys_error.h"
#include "platform/window_messages.h"
#include "worker_env.h"

namespace {

using platform::RuntimeOwner;
namespace SysError = platform::SysError;

constexpr const char* kPipe = "\\\\.\\pipe\\endpoint_test";

class EndpointTest : public worker_test::WorkerEnv {
  protected:
    void SetUp() override {
        WorkerEnv::SetUp();
        ASSERT_EQ(platform::PrepareRuntimeFolder(RuntimeOwner::Self()), 0u);
    }

    // Exchange runs one client connection against the listener on another thread: the
    // client writes request, the server answers reply.
    std::string Exchange(platform::PipeListener& listener, const std::string& request,
                         const std::string& reply, std::size_t chunk) {
        auto server = std::async(std::launch::async, [&] {
            platform::PipeConnection connection;
            std::string received;
            std::size_t written = 0;
            if (listener.Accept(connection) == 0 && connection.ReadMessage(received) == 0) {
                connection.Write(reply, written);
            }
            return received;
        });
        platform::PipeConnection client;
        EXPECT_EQ(platform::ConnectPipe(kPipe, RuntimeOwner::Self(), client), 0u);
        EXPECT_EQ(client.SetMessageReadMode(), 0u);
        std::size_t written = 0;
        EXPECT_EQ(client.Write(request, written), 0u);
        EXPECT_EQ(written, request.size());
        std::string answer;
        std::vector<char> buffer(chunk);
        std::size_t pieces = 0;
        for (;;) {
            std::size_t read = 0;
            const std::uint32_t error = client.Read(buffer.data(), buffer.size(), read);
            answer.append(buffer.data(), read);
            ++pieces;
            if (error != SysError::MORE_DATA) {
                EXPECT_EQ(error, 0u);
                break;
            }
            EXPECT_EQ(read, chunk);  // only the last piece may be short
        }
        EXPECT_EQ(pieces, reply.empty() ? 1 : (reply.size() + chunk - 1) / chunk);
        EXPECT_EQ(server.get(), request);
        return answer;
    }
};

// Messages keep their boundaries whatever their size: empty, small, one byte over a read
// buffer, and far beyond what the socket holds at once.
TEST_F(EndpointTest, MessagesArriveWholeInPiecesOfTheReadersSize) {
    platform::PipeListener listener;
    ASSERT_EQ(listener.Create(kPipe), 0u);
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{10}, std::size_t{4097}, std::size_t{3} << 20}) {
        std::string big(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            big[i] = static_cast<char>('a' + i % 26);
        }
        EXPECT_EQ(Exchange(listener, "request-" + std::to_string(size), big, 4096), big) << size;
    }
}

// A reader's limit holds across the pieces of a message: a message of exactly the limit is
// read whole, one byte more is refused with 8 and nothing of it is kept.
TEST_F(EndpointTest, ReadMessageRefusesMessagesOverItsLimit) {
    constexpr std::size_t kLimit = 100 * 1024;  // more than one piece of a read
    platform::PipeListener listener;
    ASSERT_EQ(listener.Create(kPipe), 0u);
    for (const auto& [size, expected] :
         {std::pair{kLimit, SysError::SUCCESS}, std::pair{kLimit + 1, SysError::NOT_ENOUGH_MEMORY},
          std::pair{std::size_t{1} << 20, SysError::NOT_ENOUGH_MEMORY}}) {
        auto server = std::async(std::launch::async, [&] {
            platform::PipeConnection connection;
            std::string received = "stale";
            std::uint32_t error = listener.Accept(connection);
            if (error == SysError::SUCCESS) {
                error = connection.ReadMessage(received, kLimit);
            }
            return std::pair{error, received.size()};
        });
        platform::PipeConnection client;
        ASSERT_EQ(platform::WaitForPipe(kPipe, RuntimeOwner::Self(), 5000), 0u);
        ASSERT_EQ(platform::ConnectPipe(kPipe, RuntimeOwner::Self(), client), 0u);
        // A refusing reader may leave the writer failing on a closed pipe: only the
        // reader's side counts.
        std::size_t written = 0;
        client.Write(std::string(size, 'x'), written);
        const auto [error, kept] = server.get();
        EXPECT_EQ(error, expected) << size;
        EXPECT_EQ(kept, expected == SysError::SUCCESS ? size : 0) << size;
    }
}

// The client leaves without a word once it was accepted (a Windows client gone before that
// is no connection at all).
TEST_F(EndpointTest, AClosedPeerIsABrokenPipe) {
    platform::PipeListener listener;
    ASSERT_EQ(listener.Create(kPipe), 0u);
    std::promise<void> accepted;
    auto server = std::async(std::launch::async, [&] {
        platform::PipeConnection connection;
        const std::uint32_t error = listener.Accept(connection);
        accepted.set_value();
        std::string request;
        return error != SysError::SUCCESS ? error : connection.ReadMessage(request);
    });
    {
        platform::PipeConnection client;
        const std::uint32_t error = platform::ConnectPipe(kPipe, RuntimeOwner::Self(), client);
        EXPECT_EQ(error, 0u);
        if (error != SysError::SUCCESS) {
            listener.Interrupt();
        }
        accepted.get_future().wait();
    }
    EXPECT_EQ(server.get(), SysError::BROKEN_PIPE);
}

// The window is made on the receiving thread (Windows delivers to the thread that made it).
TEST_F(EndpointTest, AcceptAndReceiveCanBeInterrupted) {
    platform::PipeListener listener;
    ASSERT_EQ(listener.Create(kPipe), 0u);
    platform::MessageWindow window;
    std::promise<std::uint32_t> created;
    auto accepting = std::async(std::launch::async, [&] {
        platform::PipeConnection connection;
        return listener.Accept(connection);
    });
    auto receiving = std::async(std::launch::async, [&] {
        const std::uint32_t error = window.Create("EndpointTestWindow");
        created.set_value(error);
        platform::WindowMessage message;
        return error == SysError::SUCCESS ? window.Receive(message) : error;
    });
    ASSERT_EQ(created.get_future().get(), 0u);
    listener.Interrupt();
    window.Interrupt();
    EXPECT_EQ(accepting.get(), SysError::OPERATION_ABORTED);
    EXPECT_EQ(receiving.get(), SysError::OPERATION_ABORTED);
}

TEST_F(EndpointTest, PostedMessagesCarryNumberAndBothParameters) {
    platform::MessageWindow window;
    ASSERT_EQ(window.Create("EndpointTestWindow"), 0u);
    platform::MessageWindow twin;
    EXPECT_EQ(twin.Create("EndpointTestWindow"), SysError::ALREADY_EXISTS);
    platform::WindowRef found;
    ASSERT_EQ(platform::FindMessageWindow("EndpointTestWindow", RuntimeOwner::Self(), found), 0u);
    EXPECT_EQ(platform::FindMessageWindow("NoSuchWindow", RuntimeOwner::Self(), found),
              SysError::NOT_FOUND);
    ASSERT_EQ(platform::FindMessageWindow("EndpointTestWindow", RuntimeOwner::Self(), found), 0u);
    ASSERT_EQ(platform::PostWindowMessage(found, {1035, 0xFFFFFFFFFFFFFFFFull, -42}), 0u);
    platform::WindowMessage message;
    ASSERT_EQ(window.Receive(message), 0u);
    EXPECT_EQ(message.message, 1035u);
    EXPECT_EQ(message.wparam, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(message.lparam, -42);
    window.Close();
    EXPECT_EQ(platform::FindMessageWindow("EndpointTestWindow", RuntimeOwner::Self(), found),
              SysError::NOT_FOUND);
}

}  // namespace
