#include "x11windowtitles.h"

#include <QString>
#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <poll.h>
#include <system_error>
#include <thread>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

namespace {

using Clock = std::chrono::steady_clock;
using Windows = std::vector<xcb_window_t>;

// Property sizes read, in 32-bit units: plenty for a client list, a class and a title.
constexpr uint32_t clientListWords = 1U << 16;
constexpr uint32_t classWords = 256;
constexpr uint32_t titleWords = 1024;

struct FreeDeleter
{
    void operator()(void* pointer) const { std::free(pointer); }
};
template<typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;
using PropertyReply = XcbReply<xcb_get_property_reply_t>;
using TreeReply = XcbReply<xcb_query_tree_reply_t>;

struct ConnectionCloser
{
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

// A connection attempt on its own thread: xcb_connect waits for the server without a time limit.
struct ConnectAttempt
{
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    xcb_connection_t* connection = nullptr;
    int screen = 0;
};

// An attempt given up on whose server still has not answered; no other starts until it ends.
std::mutex stalledMutex;
std::weak_ptr<ConnectAttempt> stalledAttempt;

struct OpenDisplay
{
    Connection connection;
    int screen = 0;
};

std::optional<OpenDisplay> connectBefore(const QByteArray& displayName, Clock::time_point deadline)
{
    {
        const std::lock_guard lock(stalledMutex);
        if (!stalledAttempt.expired()) {
            return std::nullopt;
        }
    }
    auto attempt = std::make_shared<ConnectAttempt>();
    try {
        std::thread([attempt, displayName] {
            int screen = 0;
            xcb_connection_t* connection = xcb_connect(displayName.constData(), &screen);
            const std::lock_guard lock(attempt->mutex);
            if (attempt->abandoned) {
                xcb_disconnect(connection);
            } else {
                attempt->connection = connection;
                attempt->screen = screen;
            }
            attempt->done = true;
            attempt->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;
    }

    std::unique_lock lock(attempt->mutex);
    if (!attempt->finished.wait_until(lock, deadline, [&] { return attempt->done; })) {
        attempt->abandoned = true;
        const std::lock_guard stalledLock(stalledMutex);
        stalledAttempt = attempt;
        return std::nullopt;
    }
    Connection connection(attempt->connection);
    if (xcb_connection_has_error(connection.get()) != 0) {
        return std::nullopt;
    }
    return OpenDisplay { std::move(connection), attempt->screen };
}

// Requests sent in batches and their answers awaited without ever waiting past the deadline. A
// batch yields none when the display did not answer in time or the connection broke, and a null
// reply for a request that the server answered with an error.
class X11Reader
{
public:
    X11Reader(xcb_connection_t* connection, Clock::time_point deadline)
        : m_connection(connection)
        , m_deadline(deadline)
    { }

    [[nodiscard]] std::vector<unsigned> requestProperties(
        const Windows& windows, xcb_atom_t property, uint32_t maxWords) const
    {
        std::vector<unsigned> requests;
        requests.reserve(windows.size());
        for (const xcb_window_t window : windows) {
            requests.push_back(xcb_get_property(
                m_connection, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, maxWords)
                                   .sequence);
        }
        return requests;
    }

    [[nodiscard]] std::optional<std::vector<PropertyReply>> properties(
        const Windows& windows, xcb_atom_t property, uint32_t maxWords) const
    {
        return awaitAll<xcb_get_property_reply_t>(requestProperties(windows, property, maxWords));
    }

    [[nodiscard]] std::optional<std::vector<TreeReply>> trees(const Windows& windows) const
    {
        std::vector<unsigned> requests;
        requests.reserve(windows.size());
        for (const xcb_window_t window : windows) {
            requests.push_back(xcb_query_tree(m_connection, window).sequence);
        }
        return awaitAll<xcb_query_tree_reply_t>(requests);
    }

    // Atoms that already exist on the server; XCB_ATOM_NONE for those that do not.
    template<std::size_t count>
    [[nodiscard]] std::optional<std::array<xcb_atom_t, count>> atoms(
        const std::array<QByteArray, count>& names) const
    {
        std::vector<unsigned> requests;
        for (const QByteArray& name : names) {
            requests.push_back(
                xcb_intern_atom(m_connection, 1, uint16_t(name.size()), name.constData()).sequence);
        }
        const auto replies = awaitAll<xcb_intern_atom_reply_t>(requests);
        if (!replies) {
            return std::nullopt;
        }
        std::array<xcb_atom_t, count> result {};
        for (std::size_t i = 0; i < count; ++i) {
            result[i] = (*replies)[i] ? (*replies)[i]->atom : xcb_atom_t(XCB_ATOM_NONE);
        }
        return result;
    }

    template<typename Reply>
    [[nodiscard]] std::optional<std::vector<XcbReply<Reply>>> awaitAll(
        const std::vector<unsigned>& requests) const
    {
        if (xcb_flush(m_connection) <= 0) {
            return std::nullopt;
        }
        std::vector<XcbReply<Reply>> replies;
        replies.reserve(requests.size());
        for (const unsigned request : requests) {
            auto reply = awaitOne<Reply>(request);
            if (!reply) {
                return std::nullopt;
            }
            replies.push_back(std::move(*reply));
        }
        return replies;
    }

private:
    template<typename Reply>
    [[nodiscard]] std::optional<XcbReply<Reply>> awaitOne(unsigned request) const
    {
        for (;;) {
            void* reply = nullptr;
            xcb_generic_error_t* error = nullptr;
            if (xcb_poll_for_reply(m_connection, request, &reply, &error) != 0) {
                std::free(error);
                return XcbReply<Reply>(static_cast<Reply*>(reply));
            }
            if (xcb_connection_has_error(m_connection) != 0) {
                return std::nullopt;
            }
            const auto remaining
                = std::chrono::ceil<std::chrono::milliseconds>(m_deadline - Clock::now());
            if (remaining.count() <= 0) {
                return std::nullopt;
            }
            pollfd readable { xcb_get_file_descriptor(m_connection), POLLIN, 0 };
            if (::poll(&readable, 1, int(remaining.count())) < 0 && errno != EINTR) {
                return std::nullopt;
            }
        }
    }

    xcb_connection_t* m_connection;
    Clock::time_point m_deadline;
};

QByteArray propertyBytes(const xcb_get_property_reply_t& reply)
{
    return { static_cast<const char*>(xcb_get_property_value(&reply)),
        xcb_get_property_value_length(&reply) };
}

bool isPresent(const PropertyReply& reply, uint8_t format)
{
    return reply && reply->type != XCB_ATOM_NONE && reply->format == format;
}

// WM_CLASS holds two NUL-terminated names, instance then class.
bool namesClass(const PropertyReply& reply, const QByteArray& windowClass)
{
    if (!isPresent(reply, 8)) {
        return false;
    }
    const QList<QByteArray> names = propertyBytes(*reply).split('\0');
    return std::any_of(names.begin(), names.end(), [&](const QByteArray& name) {
        return name.compare(windowClass, Qt::CaseInsensitive) == 0;
    });
}

Windows windowsIn(const xcb_query_tree_reply_t& reply)
{
    const xcb_window_t* children = xcb_query_tree_children(&reply);
    return { children, children + xcb_query_tree_children_length(&reply) };
}

struct TextTypes
{
    xcb_atom_t utf8String;
    xcb_atom_t compoundText;
};

std::optional<QString> titleIn(const PropertyReply& reply, const TextTypes& types)
{
    if (!isPresent(reply, 8)) {
        return std::nullopt;
    }
    const QByteArray bytes = propertyBytes(*reply);
    if (reply->type == types.utf8String) {
        return QString::fromUtf8(bytes);
    }
    // Compound text agrees with Latin-1 on the characters that matter for a title test.
    if (reply->type == XCB_ATOM_STRING || reply->type == types.compoundText) {
        return QString::fromLatin1(bytes);
    }
    return std::nullopt;
}

// Windows that carry the class, looked for among the root's children and, for those without a
// WM_CLASS of their own (frames of a reparenting window manager), among their children.
std::optional<Windows> classedWindowsInTree(
    const X11Reader& reader, xcb_window_t root, const QByteArray& windowClass)
{
    const auto rootTree = reader.trees({ root });
    if (!rootTree || !rootTree->front()) {
        return std::nullopt;
    }
    Windows candidates = windowsIn(*rootTree->front());
    Windows matching;
    for (int depth = 0; depth < 2 && !candidates.empty(); ++depth) {
        const auto classes = reader.properties(candidates, XCB_ATOM_WM_CLASS, classWords);
        if (!classes) {
            return std::nullopt;
        }
        Windows frames;
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            const PropertyReply& wmClass = (*classes)[i];
            if (namesClass(wmClass, windowClass)) {
                matching.push_back(candidates[i]);
            } else if (wmClass && wmClass->type == XCB_ATOM_NONE) {
                frames.push_back(candidates[i]);
            }
        }
        candidates.clear();
        if (depth == 0 && !frames.empty()) {
            const auto frameTrees = reader.trees(frames);
            if (!frameTrees) {
                return std::nullopt;
            }
            for (const TreeReply& tree : *frameTrees) {
                if (tree) {
                    const Windows inner = windowsIn(*tree);
                    candidates.insert(candidates.end(), inner.begin(), inner.end());
                }
            }
        }
    }
    return matching;
}

std::optional<QStringList> readTitles(
    const X11Reader& reader, xcb_window_t root, const QByteArray& windowClass)
{
    const auto atoms = reader.atoms(std::array<QByteArray, 4> {
        QByteArrayLiteral("_NET_CLIENT_LIST"), QByteArrayLiteral("_NET_WM_NAME"),
        QByteArrayLiteral("UTF8_STRING"), QByteArrayLiteral("COMPOUND_TEXT") });
    if (!atoms) {
        return std::nullopt;
    }
    const auto [clientListAtom, netWmNameAtom, utf8StringAtom, compoundTextAtom] = *atoms;

    // The window manager's client list when there is one; otherwise a walk of the window tree.
    std::optional<Windows> matching;
    if (clientListAtom != XCB_ATOM_NONE) {
        const auto clientList = reader.properties({ root }, clientListAtom, clientListWords);
        if (!clientList || !clientList->front()) {
            return std::nullopt;
        }
        if (isPresent(clientList->front(), 32)) {
            const auto* ids = static_cast<const xcb_window_t*>(
                xcb_get_property_value(clientList->front().get()));
            const Windows clients(ids, ids + clientList->front()->value_len);
            const auto classes = reader.properties(clients, XCB_ATOM_WM_CLASS, classWords);
            if (!classes) {
                return std::nullopt;
            }
            matching.emplace();
            for (std::size_t i = 0; i < clients.size(); ++i) {
                if (namesClass((*classes)[i], windowClass)) {
                    matching->push_back(clients[i]);
                }
            }
        }
    }
    if (!matching) {
        matching = classedWindowsInTree(reader, root, windowClass);
        if (!matching) {
            return std::nullopt;
        }
    }

    const auto netNameRequests = reader.requestProperties(*matching, netWmNameAtom, titleWords);
    const auto nameRequests = reader.requestProperties(*matching, XCB_ATOM_WM_NAME, titleWords);
    const auto netNames = reader.awaitAll<xcb_get_property_reply_t>(netNameRequests);
    const auto names = reader.awaitAll<xcb_get_property_reply_t>(nameRequests);
    if (!netNames || !names) {
        return std::nullopt;
    }
    const TextTypes types { utf8StringAtom, compoundTextAtom };
    QStringList titles;
    for (std::size_t i = 0; i < matching->size(); ++i) {
        if (auto title = titleIn((*netNames)[i], types)) {
            titles.append(*title);
        } else if (auto fallback = titleIn((*names)[i], types)) {
            titles.append(*fallback);
        }
    }
    return titles;
}

} // namespace

std::optional<QStringList> x11WindowTitles(
    const QByteArray& displayName, const QByteArray& windowClass, std::chrono::milliseconds budget)
{
    if (displayName.isEmpty()) {
        return std::nullopt;
    }
    const auto deadline = Clock::now() + budget;
    const auto display = connectBefore(displayName, deadline);
    if (!display) {
        return std::nullopt;
    }
    xcb_connection_t* connection = display->connection.get();
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < display->screen && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem <= 0) {
        return std::nullopt;
    }
    return readTitles(X11Reader(connection, deadline), screens.data->root, windowClass);
}
