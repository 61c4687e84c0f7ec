#include "UnitRecord.h"

#include <algorithm>

namespace {

// The value labels of a three-phase column below its upper block: the frequency row, then the
// bands, each half from phase a to c.
QStringList ThreePhaseColumn(const QString& Source, const QStringList& Upper,
                             const QStringList& Band1Left, const QStringList& Band1Right) {
    QStringList Names;
    for (const QString& Name : Upper) {
        Names << Source + Name;
    }
    Names << Source + QStringLiteral("Freq");
    for (const QStringList& Half :
         {Band1Left, Band1Right, QStringList{"Pa", "Pb", "Pc"}, QStringList{"Qa", "Qb", "Qc"},
          QStringList{"Sa", "Sb", "Sc"}, QStringList{"PFa", "PFb", "PFc"}}) {
        for (const QString& Name : Half) {
            Names << Source + Name;
        }
    }
    return Names;
}

QStringList ValueColumns() {
    QStringList Names = ThreePhaseColumn(QStringLiteral("U_"), {"UAB", "UCA", "UBC"},
                                         {"Ua", "Ub", "Uc"}, {"Ia", "Ib", "Ic"});
    Names << ThreePhaseColumn(QStringLiteral("I_"), {"Ia", "Ib", "Ic"}, {"Uab", "Uca", "Ubc"},
                              {"Ua", "Ub", "Uc"});
    Names << QStringList{"U", "I", "PF", "P", "Q", "S", "Freq", "UDC"};
    return Names;
}

const QStringList ThreePhaseSources{"U3AC", "I3AC"};
const QStringList SourceNames{"U3AC", "I3AC", "1AC", "UDC"};
const QStringList PhaseNames{"a", "b", "c"};

QString ValueCell(const TRefreshResult& Refresh, const QString& Column) {
    const QString Label = QStringLiteral("lbl_") + Column;
    for (const TSourceResult& Source : Refresh.Sources) {
        const auto Found = std::find_if(Source.Values.begin(), Source.Values.end(),
                                        [&](const TShownValue& V) { return V.Name == Label; });
        if (Found != Source.Values.end()) {
            return FormatFixed(Found->Value, Found->Decimals);
        }
    }
    return {};
}

} // namespace

const QStringList& RecordColumns() {
    static const QStringList Columns = [] {
        QStringList Names{QStringLiteral("time")};
        Names << ValueColumns();
        for (const QString& Source : ThreePhaseSources) {
            for (const QString& Phase : PhaseNames) {
                Names << Source + QLatin1Char('_') + Phase;
            }
        }
        for (const QString& Source : SourceNames) {
            Names << Source + QStringLiteral("_status");
        }
        return Names;
    }();
    return Columns;
}

QString RecordHeader() {
    return RecordColumns().join(QLatin1Char(','));
}

QString RecordRow(const TRefreshResult& Refresh) {
    QStringList Cells{Refresh.Time.toString(Qt::ISODateWithMs)};
    for (const QString& Column : ValueColumns()) {
        Cells << ValueCell(Refresh, Column);
    }
    for (qsizetype Source = 0; Source < ThreePhaseSources.size(); ++Source) {
        const TSourceResult& Result = Refresh.Sources[std::size_t(Source)];
        for (const bool Flag : Result.PhaseFlags) {
            Cells << (Result.Ok() ? QString(Flag ? QLatin1Char('=') : QLatin1Char('~'))
                                  : QString());
        }
    }
    for (const TSourceResult& Result : Refresh.Sources) {
        Cells << Result.StatusText();
    }
    return Cells.join(QLatin1Char(','));
}

bool TRecordFile::Open(const QString& Path, QString& Error) {
    Close();
    fFile.setFileName(Path);
    if (!fFile.open(QIODevice::WriteOnly | QIODevice::Append)) {
        Error = QStringLiteral("cannot open %1 for appending: %2").arg(Path, fFile.errorString());
        return false;
    }
    if (fFile.size() == 0 && !WriteLine(RecordHeader())) {
        Error = QStringLiteral("cannot write to %1: %2").arg(Path, fFile.errorString());
        Close();
        return false;
    }
    return true;
}

void TRecordFile::Close() {
    if (fFile.isOpen()) {
        fFile.close();
    }
}

bool TRecordFile::Append(const TRefreshResult& Refresh) {
    return fFile.isOpen() && WriteLine(RecordRow(Refresh));
}

bool TRecordFile::WriteLine(const QString& Line) {
    const QByteArray Bytes = Line.toUtf8() + '\n';
    return fFile.write(Bytes) == Bytes.size() && fFile.flush();
}
