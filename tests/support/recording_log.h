// A log that records every call a component makes on it, for tests: each line with the operation
// that wrote it, its detail level and its text (formatted lines also keep their format). Safe to
// use from several threads at once, as a component's I/O threads write to their log.
#pragma once

#include "lxclasses.h"

#include <QString>
#include <QStringList>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lxtest {

struct TLogLine {
    // "Add", "AddFmt", "AddLog", "AddLogFmt" or "AddSysInfo".
    std::string Operation;
    // Unset for Add, AddFmt and AddSysInfo, which carry no level.
    std::optional<TDetailLevel> Level;
    // The line as the log would show it (formatted, for the formatting operations).
    QString Text;
    // The format given to AddFmt and AddLogFmt, else empty.
    QString Format;
};

class TRecordingLog : public TlxCustomLogFile {
public:
    // The text AddSysInfo records.
    static inline const QString SysInfoText = QStringLiteral("<system information>");

    explicit TRecordingLog(QObject* AOwner = nullptr);

    std::vector<TLogLine> Lines() const;
    // The texts alone, in order.
    QStringList Texts() const;
    int SaveCount() const;

    using TlxCustomLogFile::DoFatalError;

    void Save() override;
    void Clear() override;
    void Add(const QString& s) override;
    void AddSysInfo() override;
    void AddLog(TDetailLevel l, const QString& s) override;
    void AddFmt(const QString& Format, const TlxArgs& Args) override;
    void AddLogFmt(TDetailLevel l, const QString& Format, const TlxArgs& Args) override;

private:
    void Record(TLogLine Line);

    mutable std::mutex fMutex;
    std::vector<TLogLine> fLines;
    int fSaves = 0;
};

} // namespace lxtest
