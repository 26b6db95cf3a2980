// Preset library storage against SQLite holding the same records, and against the limits
// (std::unordered_map for lookups, a plain file copy for compaction). Each pair runs in the same
// iterations so that its ratio holds under the same load; the table at the end lists them.
//
// Sizes can be lowered for profiling: ORX_BENCH_LIBRARY_ITEMS (presets in the big library),
// ORX_BENCH_LIBRARY_COMPACT (presets in the compaction library).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "orx/orx.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabasechunk.h"
#include "presets/browserhashnode.h"
#include "services/host.h"

namespace {

constexpr Int32 kEnglish = 0x75730000;
constexpr Int32 kGerman = 0x64650000;
constexpr int kDataBytes = 4096;
constexpr int kPreviewBytes = 8192;
constexpr int kOpens = 1000000;
constexpr int kFanOut = 6; // per folder level: 6^4 = 1296 leaf folders

int EnvInt(const char* name, int def)
{
  const char* v = std::getenv(name);
  return v && std::atoi(v) > 0 ? std::atoi(v) : def;
}

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::string g_dir;

// --- the generator ---------------------------------------------------------------------------

const char* const kWords[] = {"Brushed", "Steel", "Oak", "Walnut", "Glass", "Frosted", "Copper", "Rusty",
                              "Concrete", "Marble", "Velvet", "Leather", "Car", "Paint", "Chrome", "Rubber",
                              "Ceramic", "Tile", "Plaster", "Sand", "Stone", "Brick", "Old", "Polished",
                              "Matte", "Gloss", "Light", "Dark", "Blue", "Red", "Studio", "Outdoor", "Sky",
                              "Lamp", "Chair", "Table", "Tree", "Grass", "Water", "Cloud"};
const char* const kWordsDe[] = {"Gebürstet", "Stahl", "Eiche", "Nussbaum", "Glas", "Matt", "Kupfer", "Rostig",
                                "Beton", "Marmor", "Samt", "Leder", "Autolack", "Chrom", "Gummi", "Fliese",
                                "Putz", "Sand", "Stein", "Ziegel", "Alt", "Poliert", "Glänzend", "Hell",
                                "Dunkel", "Blau", "Rot", "Himmel", "Lampe", "Stuhl", "Tisch", "Baum"};

// A name of 10 to 40 characters from words, with a number that keeps siblings apart.
std::string MakeName(std::mt19937& rng, const char* const* words, std::size_t nWords, int serial)
{
  const std::size_t want = 10 + rng() % 31;
  std::string s = std::to_string(serial);
  while (s.size() < want) {
    s = std::string(words[rng() % nWords]) + " " + s;
  }
  if (s.size() > 40)
    s.erase(0, s.size() - 40);
  while (!s.empty() && s.front() == ' ')
    s.erase(0, 1);
  return s;
}

BaseContainer MakeSettings(std::mt19937& rng)
{
  BaseContainer s(1018108);
  for (Int32 i = 0; i < 8; ++i)
    s.SetFloat(1000 + i, Float(rng() % 1000) / 1000.0);
  for (Int32 i = 0; i < 6; ++i)
    s.SetInt32(2000 + i, Int32(rng() % 64));
  s.SetBool(3000, (rng() & 1) != 0);
  s.SetString(3001, String("tex/") + String::FromInt(rng() % 5000) + "_diffuse.png");
  BaseContainer color;
  color.SetFloat(0, 0.8);
  color.SetFloat(1, 0.4);
  color.SetFloat(2, 0.1);
  s.SetContainer(4000, color);
  return s;
}

struct Library
{
  Filename file;
  String name;
  std::vector<String> presets; // item paths of the presets (folders not included)
  Int64 items = 0;             // presets and folders
};

// Folders four deep under the library, presets spread over the leaf folders.
Library Generate(const std::string& fileName, const char* libName, int presets, unsigned seed)
{
  std::mt19937 rng(seed);
  Library lib;
  lib.file = Filename(String(g_dir.c_str()) + "/" + fileName.c_str());
  lib.name = String(libName);
  BrowserDatabase* db = BrowserDatabase::Create(lib.file, String(), 0);
  db->SetName(lib.name);
  std::vector<String> leaves;
  std::vector<String> level{lib.name};
  int serial = 0;
  for (int depth = 0; depth < 4; ++depth) {
    std::vector<String> next;
    for (const String& parent : level)
      for (int i = 0; i < kFanOut; ++i) {
        const std::string en = MakeName(rng, kWords, std::size(kWords), ++serial);
        String path = parent + "/" + String(en.c_str());
        BrowserDatabaseItem* h = db->OpenOrCreateItem(path);
        h->SetItemFlags(dbitem::kFolderFlag);
        h->SetName(String(en.c_str()), kEnglish);
        h->SetName(String(MakeName(rng, kWordsDe, std::size(kWordsDe), serial).c_str()), kGerman);
        h->Close();
        ++lib.items;
        next.push_back(std::move(path));
      }
    level = std::move(next);
  }
  leaves = std::move(level);

  std::vector<UChar> data(kDataBytes), jpeg(kPreviewBytes);
  const DateTime when{2021, 6, 14, 10, 30, 12};
  for (int i = 0; i < presets; ++i) {
    const std::string en = MakeName(rng, kWords, std::size(kWords), ++serial);
    String path = leaves[std::size_t(rng() % leaves.size())] + "/" + String(en.c_str());
    BrowserDatabaseItem* h = db->OpenOrCreateItem(path);
    h->SetType(1018107 + Int32(rng() % 6));
    h->SetName(String(en.c_str()), kEnglish);
    h->SetName(String(MakeName(rng, kWordsDe, std::size(kWordsDe), serial).c_str()), kGerman);
    h->SetAnnotation(String("Made for the ") + String(en.c_str()) + " scenes; tweak the reflection before use.");
    h->SetSettings(MakeSettings(rng));
    h->SetTime(0, when);
    h->SetTime(1, when);
    h->SetOrder(i);
    for (std::size_t k = 0; k < data.size(); ++k)
      data[k] = UChar((k * 7 + std::size_t(i)) ^ (rng() & 3));
    h->SetData(data.data(), Int64(data.size()), dbitem::kStoreAsGiven);
    jpeg[0] = 0xFF;
    jpeg[1] = 0xD8;
    UInt64 x = rng() | (UInt64(rng()) << 32) | 1;
    for (std::size_t k = 2; k + 8 <= jpeg.size(); k += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      std::memcpy(&jpeg[k], &x, 8);
    }
    h->AddPreview(0, jpeg.data(), Int64(jpeg.size()), 4, when);
    h->Close();
    ++lib.items;
    lib.presets.push_back(std::move(path));
  }
  db->Save(true);
  BrowserDatabase::Destroy(db);
  return lib;
}

// --- SQLite holding the same bytes -----------------------------------------------------------

void Check(int rc, sqlite3* db, const char* what)
{
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite %s: %s\n", what, db ? sqlite3_errmsg(db) : "?");
    std::exit(1);
  }
}

void Exec(sqlite3* db, const char* sql) { Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql); }

sqlite3* OpenSqlite(const std::string& path, bool readOnly)
{
  sqlite3* db = nullptr;
  Check(sqlite3_open_v2(path.c_str(), &db, readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr),
        db, "open");
  // Durable commits like the library's synced saves, in SQLite's fastest durable mode.
  if (!readOnly) {
    Exec(db, "PRAGMA journal_mode=WAL");
    Exec(db, "PRAGMA synchronous=FULL");
  }
  return db;
}

// The record chunks of the library file copied as rows (same container images), the data and
// preview chunks as blobs of a second table, so both files hold the same bytes.
void Mirror(const Library& lib, const std::string& path)
{
  std::filesystem::remove(path);
  sqlite3* db = OpenSqlite(path, false);
  Exec(db, "CREATE TABLE items(id INTEGER PRIMARY KEY, path TEXT NOT NULL, rec BLOB NOT NULL)");
  Exec(db, "CREATE UNIQUE INDEX items_path ON items(path)");
  Exec(db, "CREATE TABLE blobs(rowid INTEGER PRIMARY KEY, item INTEGER NOT NULL, kind INTEGER NOT NULL, bytes BLOB)");
  Exec(db, "BEGIN");
  sqlite3_stmt *ins = nullptr, *blob = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO items(id, path, rec) VALUES(?,?,?)", -1, &ins, nullptr), db, "prep");
  Check(sqlite3_prepare_v2(db, "INSERT INTO blobs(item, kind, bytes) VALUES(?,?,?)", -1, &blob, nullptr), db, "prep");
  std::FILE* f = std::fopen(lib.file.GetString().ToUtf8().c_str(), "rb");
  std::vector<UChar> buf;
  for (;;) {
    UChar head[16];
    if (std::fread(head, 1, 16, f) != 16)
      break;
    const dbchunk::ChunkHeader h = dbchunk::DecodeHeader(head);
    buf.resize(std::size_t(h.size));
    if (h.size && std::fread(buf.data(), 1, buf.size(), f) != buf.size())
      break;
    if (h.id == dbchunk::kItem) {
      BaseContainer rec;
      HyperFile::ImageToContainer(buf.data(), Int64(buf.size()), dbchunk::kImageIdent, &rec);
      const std::string p = rec.GetContainer(dbitem::kAddress).GetString(dbitem::kAddrPath).ToUtf8();
      sqlite3_bind_int(ins, 1, Int32(h.tag));
      sqlite3_bind_text(ins, 2, p.data(), int(p.size()), SQLITE_TRANSIENT);
      sqlite3_bind_blob(ins, 3, buf.data(), int(buf.size()), SQLITE_STATIC);
      Check(sqlite3_step(ins), db, "insert");
      sqlite3_reset(ins);
    } else if (h.id == dbchunk::kData || h.id == dbchunk::kImage) {
      sqlite3_bind_int(blob, 1, Int32(h.tag));
      sqlite3_bind_int(blob, 2, Int32(h.id));
      sqlite3_bind_blob(blob, 3, buf.data(), int(buf.size()), SQLITE_STATIC);
      Check(sqlite3_step(blob), db, "blob");
      sqlite3_reset(blob);
    } else if (h.id == dbchunk::kEnd) {
      break;
    }
  }
  std::fclose(f);
  sqlite3_finalize(ins);
  sqlite3_finalize(blob);
  Exec(db, "COMMIT");
  Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  sqlite3_close(db);
}

// --- fixture ---------------------------------------------------------------------------------

struct Fixture
{
  Library big;
  std::string sqlitePath;
  Int64 recordBytes = 0; // container images of all records
  Int64 fileBytes = 0;
  Library half;          // a library with half of its bytes dead
  Filename halfTemplate;
};

Fixture& Data()
{
  static Fixture& f = *[] {
    auto* d = new Fixture;
    const int items = EnvInt("ORX_BENCH_LIBRARY_ITEMS", 100000);
    const auto t0 = Clock::now();
    d->big = Generate("bench.libqz", "preset://bench.libqz", items, 1);
    d->sqlitePath = g_dir + "/bench.sqlite";
    Mirror(d->big, d->sqlitePath);
    d->fileBytes = Int64(std::filesystem::file_size(d->big.file.GetString().ToUtf8()));
    {
      sqlite3* db = OpenSqlite(d->sqlitePath, true);
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, "SELECT sum(length(rec)) FROM items", -1, &st, nullptr);
      if (sqlite3_step(st) == SQLITE_ROW)
        d->recordBytes = sqlite3_column_int64(st, 0);
      sqlite3_finalize(st);
      sqlite3_close(db);
    }

    // Every other preset deleted and saved: their records, data and previews are dead.
    const int compactItems = EnvInt("ORX_BENCH_LIBRARY_COMPACT", 20000);
    d->half = Generate("half.libqz", "preset://half.libqz", compactItems, 2);
    BrowserDatabase* db = BrowserDatabase::Create(d->half.file, String(), 0);
    db->Load();
    for (std::size_t i = 0; i < d->half.presets.size(); i += 2)
      db->DeleteItem(d->half.presets[i]);
    db->Save(true, false);
    const double dead = double(db->GetDeadBytes()) / double(db->GetEndOffset() + 16);
    BrowserDatabase::Destroy(db);
    d->halfTemplate = Filename(String(g_dir.c_str()) + "/half.template");
    std::filesystem::copy_file(d->half.file.GetString().ToUtf8(), d->halfTemplate.GetString().ToUtf8());
    std::printf("generated %lld items (%d presets, %.0f MB) and a %d-preset library with %.0f%% dead bytes in %.1f s\n",
                (long long)d->big.items, items, double(d->fileBytes) / 1e6, compactItems, dead * 100, Since(t0));
    std::fflush(stdout);
    return d;
  }();
  return f;
}

struct Row
{
  std::string what;
  double ours = 0, peer = 0; // seconds per run
  std::string peerName;
  std::string goal;
  bool met = false;
};
std::vector<Row> g_rows;
std::vector<std::string> g_notes;

void AddRow(Row r) { g_rows.push_back(std::move(r)); }

// A wrong result ends the program: figures of a broken run must not be reported.
void Fail(const char* what)
{
  std::fprintf(stderr, "bench_library: %s\n", what);
  std::exit(1);
}

// --- benchmarks ------------------------------------------------------------------------------

// SQLite side of a load: every record read and decoded into the same in-memory form.
Int64 SqliteLoad(const std::string& path, bool decode)
{
  sqlite3* db = OpenSqlite(path, true);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT id, rec FROM items", -1, &st, nullptr);
  BaseContainer items;
  Int64 n = 0, bytes = 0;
  while (sqlite3_step(st) == SQLITE_ROW) {
    const void* b = sqlite3_column_blob(st, 1);
    const int len = sqlite3_column_bytes(st, 1);
    bytes += len;
    if (decode) {
      BaseContainer rec;
      HyperFile::ImageToContainer(b, len, dbchunk::kImageIdent, &rec);
      items.SetContainer(sqlite3_column_int(st, 0), std::move(rec));
    }
    ++n;
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  benchmark::DoNotOptimize(bytes);
  return n;
}

void BM_Load(benchmark::State& state)
{
  Fixture& f = Data();
  double ours = 0, sql = 0, sqlRaw = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    BrowserDatabase* db = BrowserDatabase::Create(f.big.file, String(), 0);
    db->Load();
    ours += Since(t0);
    const Int64 n = db->GetItemCount();
    state.PauseTiming();
    BrowserDatabase::Destroy(db);
    if (n != f.big.items)
        Fail("library lost items");
    t0 = Clock::now();
    if (SqliteLoad(f.sqlitePath, true) != f.big.items)
      Fail("sqlite lost items");
    sql += Since(t0);
    t0 = Clock::now();
    SqliteLoad(f.sqlitePath, false);
    sqlRaw += Since(t0);
    state.ResumeTiming();
  }
  const double it = double(state.iterations());
  state.counters["sqlite_ms"] = sql / it * 1e3;
  state.counters["sqlite_vs_ours"] = sql / ours;
  AddRow({"load " + std::to_string(f.big.items) + " items, index included", ours / it, sql / it,
          "SQLite SELECT + decode", ">= 2x faster", sql / ours >= 2});
  g_notes.push_back("SQLite reading the record blobs without decoding them: " + std::to_string(sqlRaw / it * 1e3) +
                    " ms");
}

long ReadStatusKb(const char* key)
{
  std::FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  long v = -1;
  const std::size_t n = std::strlen(key);
  while (f && std::fgets(line, sizeof line, f))
    if (std::strncmp(line, key, n) == 0)
      v = std::atol(line + n + 1);
  if (f)
    std::fclose(f);
  return v;
}

void BM_MemoryPerItem(benchmark::State& state)
{
  Fixture& f = Data();
  for (auto _ : state) {
    malloc_trim(0);
    const long before = ReadStatusKb("VmRSS");
    const Int64 blocksBefore = orxhost::LiveBlockCount();
    // Resets the peak resident size to the current one.
    if (std::FILE* c = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", c);
      std::fclose(c);
    }
    BrowserDatabase* db = BrowserDatabase::Create(f.big.file, String(), 0);
    db->Load();
    const long after = ReadStatusKb("VmRSS");
    const long peak = ReadStatusKb("VmHWM");
    const double items = double(f.big.items);
    const double rss = double(after - before) * 1024 / items;
    const double peakPer = double(peak - before) * 1024 / items;
    const double record = double(f.recordBytes) / items;
    state.counters["resident_B_per_item"] = rss;
    state.counters["peak_B_per_item"] = peakPer;
    state.counters["record_B_per_item"] = record;
    state.counters["blocks_per_item"] = double(orxhost::LiveBlockCount() - blocksBefore) / items;
    g_notes.push_back("memory per item after loading: resident " + std::to_string(int(rss)) + " B, peak " +
                      std::to_string(int(peakPer)) + " B, host blocks " +
                      std::to_string(double(orxhost::LiveBlockCount() - blocksBefore) / items) +
                      "; record image " + std::to_string(int(record)) + " B; budget 1024 + record = " +
                      std::to_string(int(1024 + record)) + " B: " + (peakPer <= 1024 + record ? "met" : "MISSED"));
    BrowserDatabase::Destroy(db);
  }
}

void SyncFile(const std::string& path);

BrowserDatabase* LoadedBig()
{
  static BrowserDatabase* db = nullptr;
  if (!db) {
    Fixture& f = Data();
    // A copy, so that the saves below leave the generated file as it is.
    const std::string copy = g_dir + "/work.libqz";
    std::filesystem::copy_file(f.big.file.GetString().ToUtf8(), copy, std::filesystem::copy_options::overwrite_existing);
    SyncFile(copy);
    db = BrowserDatabase::Create(Filename(copy.c_str()), String(), 0);
    db->Load();
  }
  return db;
}

void BM_Open(benchmark::State& state)
{
  Fixture& f = Data();
  BrowserDatabase* db = LoadedBig();
  const std::vector<String>& paths = f.big.presets;
  std::vector<std::uint32_t> order(kOpens);
  std::mt19937 rng(7);
  for (auto& i : order)
    i = std::uint32_t(rng() % paths.size());

  std::unordered_map<std::u16string_view, BaseContainer*> map;
  map.reserve(paths.size());
  for (const String& p : paths) {
    BrowserDatabaseItem* h = db->OpenItem(p);
    map.emplace(p.View(), h->GetRecord());
    h->Close();
  }
  std::vector<std::string> utf8;
  utf8.reserve(paths.size());
  for (const String& p : paths)
    utf8.push_back(p.ToUtf8());
  sqlite3* sql = OpenSqlite(f.sqlitePath, true);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(sql, "SELECT id, rec FROM items WHERE path=?", -1, &st, nullptr);

  double ours = 0, limit = 0, peer = 0;
  for (auto _ : state) {
    Int64 found = 0;
    auto t0 = Clock::now();
    // The read path of the content layer: a handle of the caller's, no allocation.
    BrowserDatabaseItem h;
    for (std::uint32_t i : order) {
      if (db->OpenItemInto(paths[i], hashindex::PathHash(paths[i]), &h)) {
        ++found;
        h.Close();
      }
    }
    ours += Since(t0);
    state.PauseTiming();
    if (found != kOpens)
      Fail("an item was not found");
    t0 = Clock::now();
    std::uintptr_t sum = 0;
    for (std::uint32_t i : order) {
      auto it = map.find(paths[i].View());
      sum += it != map.end() ? std::uintptr_t(it->second) : 0;
    }
    benchmark::DoNotOptimize(sum);
    limit += Since(t0);
    t0 = Clock::now();
    Int64 rows = 0;
    for (std::uint32_t i : order) {
      sqlite3_bind_text(st, 1, utf8[i].data(), int(utf8[i].size()), SQLITE_STATIC);
      if (sqlite3_step(st) == SQLITE_ROW) {
        rows += sqlite3_column_int(st, 0) > 0;
        benchmark::DoNotOptimize(sqlite3_column_blob(st, 1));
      }
      sqlite3_reset(st);
    }
    peer += Since(t0);
    if (rows != kOpens)
      Fail("sqlite missed a row");
    state.ResumeTiming();
  }
  sqlite3_finalize(st);
  sqlite3_close(sql);
  const double it = double(state.iterations());
  state.counters["ns_per_open"] = ours / it / kOpens * 1e9;
  state.counters["map_ns"] = limit / it / kOpens * 1e9;
  state.counters["sqlite_ns"] = peer / it / kOpens * 1e9;
  state.counters["vs_map"] = ours / limit;
  AddRow({"open 1M random items by path (+ close)", ours / it, limit / it, "std::unordered_map (limit)",
          "<= 2x the map", ours / limit <= 2});
  AddRow({"  same, against SQLite", ours / it, peer / it, "SQLite indexed SELECT", "(reference)", peer > ours});
}

void BM_SaveOnePercent(benchmark::State& state)
{
  Fixture& f = Data();
  BrowserDatabase* db = LoadedBig();
  const std::vector<String>& paths = f.big.presets;
  const std::size_t n = std::max<std::size_t>(1, paths.size() / 100);
  std::mt19937 rng(11);
  sqlite3* sql = OpenSqlite(f.sqlitePath, false);
  sqlite3_stmt* up = nullptr;
  sqlite3_prepare_v2(sql, "UPDATE items SET rec=? WHERE path=?", -1, &up, nullptr);
  double ours = 0, peer = 0;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ++round;
    std::vector<std::size_t> pick(n);
    for (auto& i : pick)
      i = rng() % paths.size();
    // The same change on both sides: a new annotation and a new English name.
    std::vector<BaseContainer> changed;
    changed.reserve(n);
    for (std::size_t i : pick) {
      BrowserDatabaseItem* h = db->OpenItem(paths[i]);
      h->SetAnnotation(String("Changed in round ") + String::FromInt(round));
      h->SetName(String("Renamed ") + String::FromInt(round) + " " + String::FromInt(Int64(i)), kEnglish);
      BaseContainer copy = *h->GetRecord();
      copy.RemoveData(dbitem::kOwner);
      copy.RemoveData(dbitem::kChanged);
      copy.RemoveData(dbitem::kChunkOffset);
      changed.push_back(std::move(copy));
      h->Close();
    }
    std::vector<std::string> utf8;
    for (std::size_t i : pick)
      utf8.push_back(paths[i].ToUtf8());
    state.ResumeTiming();

    auto t0 = Clock::now();
    if (!db->Save())
      Fail("save failed");
    ours += Since(t0);

    state.PauseTiming();
    t0 = Clock::now();
    Exec(sql, "BEGIN");
    ByteArray img;
    for (std::size_t k = 0; k < n; ++k) {
      HyperFile::ContainerToImage(changed[k], dbchunk::kImageIdent, &img);
      sqlite3_bind_blob(up, 1, img.data(), int(img.size()), SQLITE_STATIC);
      sqlite3_bind_text(up, 2, utf8[k].data(), int(utf8[k].size()), SQLITE_STATIC);
      Check(sqlite3_step(up), sql, "update");
      sqlite3_reset(up);
    }
    Exec(sql, "COMMIT");
    peer += Since(t0);
    state.ResumeTiming();
  }
  sqlite3_finalize(up);
  sqlite3_close(sql);
  const double it = double(state.iterations());
  state.counters["sqlite_ms"] = peer / it * 1e3;
  state.counters["sqlite_vs_ours"] = peer / ours;
  AddRow({"change 1% (" + std::to_string(n) + " items) and save", ours / it, peer / it,
          "SQLite UPDATEs, one transaction", "faster than SQLite", ours < peer});
}

// Copies made in untimed setup are written back before timing, so no timed sync flushes them.
void SyncFile(const std::string& path)
{
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

bool CopyFile(const std::string& from, const std::string& to)
{
  int in = ::open(from.c_str(), O_RDONLY);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = in >= 0 && out >= 0;
  std::vector<char> buf(4 << 20);
  while (ok) {
    ssize_t r = ::read(in, buf.data(), buf.size());
    if (r <= 0) {
      ok = r == 0;
      break;
    }
    ok = ::write(out, buf.data(), std::size_t(r)) == r;
  }
  ok = ok && ::fsync(out) == 0;
  if (in >= 0)
    ::close(in);
  if (out >= 0)
    ::close(out);
  return ok;
}

void BM_Compact(benchmark::State& state)
{
  Fixture& f = Data();
  const std::string work = f.half.file.GetString().ToUtf8();
  const std::string tmpl = f.halfTemplate.GetString().ToUtf8();
  double ours = 0, limit = 0;
  Int64 before = 0, after = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(work + ".bak");
    std::filesystem::copy_file(tmpl, work, std::filesystem::copy_options::overwrite_existing);
    SyncFile(work);
    BrowserDatabase* db = BrowserDatabase::Create(f.half.file, String(), 0);
    db->Load();
    before = Int64(std::filesystem::file_size(work));
    state.ResumeTiming();

    auto t0 = Clock::now();
    if (!db->Compact())
      Fail("compaction failed");
    ours += Since(t0);

    state.PauseTiming();
    BrowserDatabase::Destroy(db);
    after = Int64(std::filesystem::file_size(work));
    // The limit: the compacted file's bytes read and written once, synced.
    t0 = Clock::now();
    if (!CopyFile(work, work + ".copy"))
      Fail("copy failed");
    limit += Since(t0);
    std::filesystem::remove(work + ".copy");
    state.ResumeTiming();
  }
  const double it = double(state.iterations());
  state.counters["copy_ms"] = limit / it * 1e3;
  state.counters["vs_copy"] = ours / limit;
  state.counters["MB_before"] = double(before) / 1e6;
  state.counters["MB_after"] = double(after) / 1e6;
  AddRow({"compact " + std::to_string(before / 1000000) + " MB, half dead, to " + std::to_string(after / 1000000) +
            " MB",
          ours / it, limit / it, "copy of the result (limit)", "<= 1.5x the copy", ours / limit <= 1.5});
}

BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MemoryPerItem)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Open)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SaveOnePercent)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Compact)->Unit(benchmark::kMillisecond)->Iterations(3);

void PrintTable()
{
  if (g_rows.empty())
    return;
  std::printf("\n%-46s %10s %10s  %-34s %8s  %s\n", "run", "ours ms", "peer ms", "peer", "ratio", "goal");
  for (const Row& r : g_rows) {
    const double ratio = r.peer > 0 ? r.ours / r.peer : 0;
    std::printf("%-46s %10.1f %10.1f  %-34s %8.2f  %s %s\n", r.what.c_str(), r.ours * 1e3, r.peer * 1e3,
                r.peerName.c_str(), ratio, r.goal.c_str(), r.goal[0] == '(' ? "" : (r.met ? "met" : "MISSED"));
  }
  for (const std::string& n : g_notes)
    std::printf("%s\n", n.c_str());
}

} // namespace

int main(int argc, char** argv)
{
  char tmpl[] = "/tmp/orx_bench_library_XXXXXX";
  if (const char* base = std::getenv("ORX_BENCH_DIR")) {
    g_dir = std::string(base) + "/orx_bench_library";
    std::filesystem::create_directories(g_dir);
  } else if (char* d = mkdtemp(tmpl)) {
    g_dir = d;
  } else {
    return 1;
  }
  setenv("ORXHOST_HOME", (g_dir + "/home").c_str(), 1);
  std::filesystem::create_directories(g_dir + "/home");
  orxhost::InstallForThisProcess();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintTable();
  BrowserDatabase::SaveAllAndClose(false, false);
  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
  return 0;
}
