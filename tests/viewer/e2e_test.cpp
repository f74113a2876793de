// End to end: the program logs readings of the simulated bus, in German and
// in US settings, and the viewer opens that log and shows the same values.
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/app/app_fixture.h"
#include "viewer/ViewWindow.h"

namespace {

class ViewerEndToEnd : public AppTest {
 protected:
  QTemporaryDir dir;

  // Every value logged over a few passes; channel 2 reads 950 (N/A).
  QString LogSomePasses(const QString& name) {
    TSimDevice& d = port->Bus.AddDevice(1, 3, 100);
    d.Channels[0].Curve = TSimCurve::Ramp(20, 80, 30);
    d.Channels[1].Curve = TSimCurve::Sine(-5, 3, 10);
    d.Channels[2].Curve = TSimCurve::Constant(950);
    Options->LogEveryValue = true;
    const QString path = dir.filePath(name);
    main->Logging = true;
    main->LogFileName = path;
    main->LastLogTime = Clock().Now();
    RunTurns(3 * 40);
    return path;
  }

  // The log read back independently: time text and cells per line.
  struct TRow {
    std::string Stamp;
    std::vector<std::string> Cells;
  };
  static std::vector<TRow> ReadBack(const QString& path, int stampWords) {
    std::ifstream f(path.toStdString(), std::ios::binary);
    std::vector<TRow> rows;
    std::string line;
    while (std::getline(f, line)) {
      std::istringstream in(line);
      TRow r;
      std::string w;
      for (int i = 0; i < stampWords && in >> w; ++i) r.Stamp += (i ? " " : "") + w;
      while (in >> w) r.Cells.push_back(w);
      rows.push_back(r);
    }
    return rows;
  }

  void CheckViewerShows(const QString& path, int stampWords, char dec) {
    const std::vector<TRow> rows = ReadBack(path, stampWords);
    ASSERT_GT(rows.size(), 30u);
    qxview::TViewWindow w;
    w.ShowError = [](const QString& t) { ADD_FAILURE() << t.toStdString(); };
    w.show();
    w.OpenFiles({path});
    ASSERT_TRUE(w.WaitLoaded(20000));
    const qxview::TLogData& d = w.Data();
    ASSERT_EQ(d.Rows(), static_cast<int64_t>(rows.size()));
    ASSERT_EQ(d.Columns(), 3);
    ASSERT_EQ(d.Segments().size(), 1u) << w.NotesText().toStdString();
    EXPECT_EQ(d.Files()[0].BadLines, 0);
    size_t i = 0;
    for (const auto& c : d.Segments()[0].Chunks) {
      for (int64_t r = 0; r < c->Rows(); ++r, ++i) {
        EXPECT_EQ(qxview::FormatStamp(c->Times()[r]), rows[i].Stamp) << "line " << i + 1;
        for (int k = 0; k < 3; ++k) {
          const int32_t v = c->Value(k, r);
          std::string shown = "N/A";
          if (v != qxview::NaCell) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.2f", v / 100.0);
            shown = buf;
            for (char& ch : shown)
              if (ch == '.') ch = dec;
          }
          EXPECT_EQ(shown, rows[i].Cells[k]) << "line " << i + 1 << " column " << k + 1;
        }
      }
    }
  }
};

}  // namespace

TEST_F(ViewerEndToEnd, GermanLogOfTheSimulatorReadsBack) {
  const QString path = LogSomePasses("de.log");
  CheckViewerShows(path, 2, ',');
}

TEST_F(ViewerEndToEnd, UsLogWithAmPmReadsBack) {
  SetFormatSettings(TFormatSettings::EnglishUSLike());
  const QString path = LogSomePasses("us.log");
  CheckViewerShows(path, 3, '.');
}
