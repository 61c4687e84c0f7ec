#include "recording_log.h"

#include <utility>

namespace lxtest {

TRecordingLog::TRecordingLog(QObject* AOwner) : TlxCustomLogFile(AOwner) {}

std::vector<TLogLine> TRecordingLog::Lines() const {
    std::lock_guard Lock(fMutex);
    return fLines;
}

QStringList TRecordingLog::Texts() const {
    QStringList Result;
    for (const TLogLine& Line : Lines()) {
        Result.append(Line.Text);
    }
    return Result;
}

int TRecordingLog::SaveCount() const {
    std::lock_guard Lock(fMutex);
    return fSaves;
}

void TRecordingLog::Save() {
    std::lock_guard Lock(fMutex);
    ++fSaves;
}

void TRecordingLog::Clear() {
    std::lock_guard Lock(fMutex);
    fLines.clear();
}

void TRecordingLog::Add(const QString& s) {
    Record({"Add", std::nullopt, s, {}});
}

void TRecordingLog::AddSysInfo() {
    Record({"AddSysInfo", std::nullopt, SysInfoText, {}});
}

void TRecordingLog::AddLog(TDetailLevel l, const QString& s) {
    Record({"AddLog", l, s, {}});
}

void TRecordingLog::AddFmt(const QString& Format, const TlxArgs& Args) {
    Record({"AddFmt", std::nullopt, LxFormat(Format, Args), Format});
}

void TRecordingLog::AddLogFmt(TDetailLevel l, const QString& Format, const TlxArgs& Args) {
    Record({"AddLogFmt", l, LxFormat(Format, Args), Format});
}

void TRecordingLog::Record(TLogLine Line) {
    std::lock_guard Lock(fMutex);
    fLines.push_back(std::move(Line));
}

} // namespace lxtest
