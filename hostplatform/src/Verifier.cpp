// The verifier's report list: every subsystem adds what it finds wrong, tests read it back.
//
// Reports are collected from any thread; one mutex keeps the list whole. Leak checks are
// the subsystems' own, run on demand by CheckForLeaks.
#include "Internal.h"

#include <mutex>

namespace host {
namespace {

struct LeakChecks {
    std::mutex mutex;
    std::vector<std::function<std::size_t()>> checks;
};

LeakChecks& TheLeakChecks() {
    static LeakChecks checks;
    return checks;
}

struct ReportList {
    std::mutex mutex;
    std::vector<Report> reports;
};

ReportList& TheReports() {
    static ReportList list;
    return list;
}

}  // namespace

const char* ReportKindName(ReportKind kind) {
    switch (kind) {
        case ReportKind::Irql:
            return "Irql";
        case ReportKind::Pool:
            return "Pool";
        case ReportKind::Irp:
            return "Irp";
        case ReportKind::RemoveLock:
            return "RemoveLock";
        case ReportKind::SpinLock:
            return "SpinLock";
        case ReportKind::Mapping:
            return "Mapping";
        case ReportKind::Object:
            return "Object";
        case ReportKind::Power:
            return "Power";
        case ReportKind::Interleave:
            return "Interleave";
        case ReportKind::ImageFault:
            return "ImageFault";
    }
    return "Unknown";
}

void AddReport(ReportKind kind, std::string text) {
    auto& list = TheReports();
    std::lock_guard lock(list.mutex);
    list.reports.push_back(Report{kind, std::move(text)});
}

std::vector<Report> Reports() {
    auto& list = TheReports();
    std::lock_guard lock(list.mutex);
    return list.reports;
}

void ClearReports() {
    auto& list = TheReports();
    std::lock_guard lock(list.mutex);
    list.reports.clear();
}

std::string FormatReports() {
    std::string text;
    for (const auto& report : Reports()) {
        text += ReportKindName(report.kind);
        text += ": ";
        text += report.text;
        text += '\n';
    }
    return text;
}

std::size_t CheckForLeaks() {
    std::size_t found = detail::CheckPoolLeaks() + detail::CheckMappingLeaks();
    // A check may register another one (a subsystem met for the first time): run by index.
    auto& registry = TheLeakChecks();
    for (std::size_t index = 0;; ++index) {
        std::function<std::size_t()> check;
        {
            std::lock_guard lock(registry.mutex);
            if (index >= registry.checks.size()) break;
            check = registry.checks[index];
        }
        found += check();
    }
    return found;
}

namespace detail {

void RegisterLeakCheck(std::function<std::size_t()> check) {
    auto& registry = TheLeakChecks();
    std::lock_guard lock(registry.mutex);
    registry.checks.push_back(std::move(check));
}

void ResetVerifier() { ClearReports(); }

}  // namespace detail

}  // namespace host
