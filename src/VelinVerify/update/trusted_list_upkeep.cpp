#include "VelinVerify/update/trusted_list_upkeep.h"

#include "common/errno_text.h"
#include "common/trace.h"
#include "trust/trusted_list_store.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <atomic>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>

namespace velin {

namespace {

bool past(const Trusted_list& list, std::time_t now)
{
    return list.next_update != 0 && list.next_update < now;
}

} // namespace

bool trusted_lists_due(const std::string& folder, const std::vector<Certificate>& eu_pins, std::time_t now)
{
    if (folder.empty())
        return false;
    std::error_code error;
    if (!std::filesystem::exists(european_list_path(folder), error))
        return false;
    std::vector<List_load_line> lines;
    const std::shared_ptr<const Trusted_lists> lists = load_trusted_lists(folder, eu_pins, now, lines);
    if (!lists)
        return true;
    if (past(lists->european().list, now))
        return true;
    for (const Kept_list& national : lists->national())
        if (past(national.list, now))
            return true;
    return false;
}

Refresh_outcome refresh_trusted_lists_waiting(const List_sources& sources, const std::string& folder,
                                              const std::vector<Certificate>& eu_pins)
{
    Refresh_outcome outcome;
    std::exception_ptr failure;
    std::atomic<bool> finished{false};
    const std::atomic<bool> never_cancelled{false};
    // Outlives the thread: a quit still queued when it goes is dropped with it.
    QEventLoop loop;
    std::thread worker([&] {
        try {
            outcome = refresh_trusted_lists(sources, folder, eu_pins, never_cancelled);
        } catch (...) {
            failure = std::current_exception();
        }
        finished = true;
        // Queued to the loop's thread: quitting there cannot race the loop's start.
        QMetaObject::invokeMethod(
            &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    if (QCoreApplication::instance())
        while (!finished)
            loop.exec();
    worker.join();
    if (failure) {
        outcome.succeeded = false;
        try {
            std::rethrow_exception(failure);
        } catch (const std::filesystem::filesystem_error& error) {
            // The library's texts of system errors are English: the user reads the Italian ones.
            outcome.lines.push_back(
                {Refresh_line::Error, "Aggiornamento delle liste di fiducia fallito: " + error.path1().string() + ": " +
                                          errno_text(error.code())});
        } catch (const std::system_error& error) {
            outcome.lines.push_back(
                {Refresh_line::Error, "Aggiornamento delle liste di fiducia fallito: " + errno_text(error.code())});
        } catch (const std::exception& error) {
            outcome.lines.push_back(
                {Refresh_line::Error, std::string("Aggiornamento delle liste di fiducia fallito: ") + error.what()});
        } catch (...) {
            outcome.lines.push_back({Refresh_line::Error, "Aggiornamento delle liste di fiducia fallito."});
        }
    }
    return outcome;
}

} // namespace velin
