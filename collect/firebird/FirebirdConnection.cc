#include "collect/firebird/FirebirdConnection.h"

#include <ibase.h>

#include <type_traits>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "common/Text.h"

namespace lumacor {
namespace {

constexpr DatabaseClient kClient = DatabaseClient::kFirebird;

static_assert(std::is_same_v<ISC_STATUS, intptr_t>, "status vectors are of intptr_t");

constexpr short kDialect = 3;
constexpr short kBlobSubTypeText = 1;
constexpr short kCharsetOctets = 1;

// The libfbclient functions this driver calls.
struct FbApi {
  const DynamicLibrary* lib = nullptr;
  decltype(&isc_attach_database) attach_database = nullptr;
  decltype(&isc_detach_database) detach_database = nullptr;
  decltype(&isc_start_transaction) start_transaction = nullptr;
  decltype(&isc_commit_transaction) commit_transaction = nullptr;
  decltype(&isc_rollback_transaction) rollback_transaction = nullptr;
  decltype(&isc_dsql_allocate_statement) dsql_allocate_statement = nullptr;
  decltype(&isc_dsql_prepare) dsql_prepare = nullptr;
  decltype(&isc_dsql_describe) dsql_describe = nullptr;
  decltype(&isc_dsql_sql_info) dsql_sql_info = nullptr;
  decltype(&isc_dsql_execute) dsql_execute = nullptr;
  decltype(&isc_dsql_fetch) dsql_fetch = nullptr;
  decltype(&isc_dsql_free_statement) dsql_free_statement = nullptr;
  decltype(&isc_open_blob2) open_blob2 = nullptr;
  decltype(&isc_get_segment) get_segment = nullptr;
  decltype(&isc_close_blob) close_blob = nullptr;
  decltype(&fb_interpret) interpret = nullptr;

  void Load(const std::string& client_path) {
    lib = &LoadClientLibrary(kClient, client_path);
    BindFunction(kClient, *lib, "isc_attach_database", attach_database);
    BindFunction(kClient, *lib, "isc_detach_database", detach_database);
    BindFunction(kClient, *lib, "isc_start_transaction", start_transaction);
    BindFunction(kClient, *lib, "isc_commit_transaction", commit_transaction);
    BindFunction(kClient, *lib, "isc_rollback_transaction", rollback_transaction);
    BindFunction(kClient, *lib, "isc_dsql_allocate_statement", dsql_allocate_statement);
    BindFunction(kClient, *lib, "isc_dsql_prepare", dsql_prepare);
    BindFunction(kClient, *lib, "isc_dsql_describe", dsql_describe);
    BindFunction(kClient, *lib, "isc_dsql_sql_info", dsql_sql_info);
    BindFunction(kClient, *lib, "isc_dsql_execute", dsql_execute);
    BindFunction(kClient, *lib, "isc_dsql_fetch", dsql_fetch);
    BindFunction(kClient, *lib, "isc_dsql_free_statement", dsql_free_statement);
    BindFunction(kClient, *lib, "isc_open_blob2", open_blob2);
    BindFunction(kClient, *lib, "isc_get_segment", get_segment);
    BindFunction(kClient, *lib, "isc_close_blob", close_blob);
    BindFunction(kClient, *lib, "fb_interpret", interpret);
  }

  // The client's text for a status vector, its lines joined.
  std::string Message(const ISC_STATUS* status) const {
    std::string msg;
    char buf[1024];
    const ISC_STATUS* p = status;
    while (interpret(buf, sizeof buf, &p) > 0) {
      if (!msg.empty()) msg += "; ";
      msg += buf;
    }
    return msg.empty() ? std::string("erro desconhecido do Firebird") : msg;
  }
};

// Whether `code` says that the attachment is gone: the network or the
// server dropped it, or the client no longer knows its handle (after the
// client shut its attachments down, for one).
bool IsConnectionLossCode(ISC_STATUS code) {
  switch (code) {
    case isc_bad_db_handle:
    case isc_network_error:
    case isc_net_read_err:
    case isc_net_write_err:
    case isc_net_server_shutdown:
    case isc_conn_lost:
    case isc_lost_db_connection:
    case isc_shutdown:
    case isc_att_shutdown:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool FirebirdConnectionLost(const intptr_t* status) {
  for (const ISC_STATUS* p = status; *p != isc_arg_end;) {
    const ISC_STATUS kind = *p++;
    if (kind == isc_arg_gds && IsConnectionLossCode(*p)) return true;
    if (kind == isc_arg_cstring) ++p;  // a length before the text
    ++p;
  }
  return false;
}

namespace {

bool ConnectionLost(const ISC_STATUS* status) { return FirebirdConnectionLost(status); }

// An XSQLDA with room for `n` columns, suitably aligned.
class Sqlda {
 public:
  explicit Sqlda(short n)
      : storage_((XSQLDA_LENGTH(n) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t)) {
    std::memset(storage_.data(), 0, storage_.size() * sizeof(std::max_align_t));
    get()->version = SQLDA_VERSION1;
    get()->sqln = n;
  }
  XSQLDA* get() { return reinterpret_cast<XSQLDA*>(storage_.data()); }

 private:
  std::vector<std::max_align_t> storage_;
};

std::string ScaledIntegerText(int64_t value, short scale) {
  if (scale >= 0) {
    std::string s = std::to_string(value);
    if (value != 0) s.append(static_cast<size_t>(scale), '0');
    return s;
  }
  const bool negative = value < 0;
  // Digits of the magnitude, without overflow at INT64_MIN.
  uint64_t mag = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string digits = std::to_string(mag);
  const size_t frac = static_cast<size_t>(-scale);
  if (digits.size() <= frac) digits.insert(0, frac - digits.size() + 1, '0');
  digits.insert(digits.size() - frac, 1, '.');
  return negative ? "-" + digits : digits;
}

std::string TimeText(ISC_TIME t) {
  // Units of 1/10000 second since midnight.
  const unsigned secs = t / 10000;
  return Format("%02u:%02u:%02u", secs / 3600, (secs / 60) % 60, secs % 60);
}

class FbCursor final : public TDBCursor {
 public:
  // `lost` is set whenever an error says that the attachment is gone.
  FbCursor(const FbApi& api, isc_db_handle* db, bool* lost) : api_(api), db_(db), lost_(lost) {}

  ~FbCursor() override {
    ISC_STATUS_ARRAY st;
    if (stmt_ != 0) api_.dsql_free_statement(st, &stmt_, DSQL_drop);
    if (tr_ != 0 && api_.commit_transaction(st, &tr_) != 0) {
      api_.rollback_transaction(st, &tr_);
    }
  }
  FbCursor(const FbCursor&) = delete;
  FbCursor& operator=(const FbCursor&) = delete;

  // Prepares and runs `sql` in a transaction of its own. REQUIRES: called
  // once; raises with the client's message.
  void Open(const std::string& sql) {
    static const char tpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_read_committed,
                               isc_tpb_rec_version, isc_tpb_wait};
    ISC_STATUS_ARRAY st;
    if (api_.start_transaction(st, &tr_, 1, db_, static_cast<short>(sizeof tpb), tpb) != 0) {
      Fail(st);
    }
    if (api_.dsql_allocate_statement(st, db_, &stmt_) != 0) Fail(st);
    out_ = std::make_unique<Sqlda>(1);
    if (api_.dsql_prepare(st, &tr_, &stmt_, 0, sql.c_str(), kDialect, out_->get()) != 0) {
      Fail(st);
    }
    const short needed = out_->get()->sqld;
    if (needed > out_->get()->sqln) {
      out_ = std::make_unique<Sqlda>(needed);
      if (api_.dsql_describe(st, &stmt_, kDialect, out_->get()) != 0) Fail(st);
    }
    const bool is_select = IsSelect(st);
    if (api_.dsql_execute(st, &tr_, &stmt_, kDialect, nullptr) != 0) Fail(st);
    if (!is_select) {
      out_->get()->sqld = 0;
      return;
    }
    Bind();
  }

  bool Next() override {
    if (done_ || ColumnCount() == 0) return false;
    ISC_STATUS_ARRAY st;
    const ISC_STATUS r = api_.dsql_fetch(st, &stmt_, kDialect, out_->get());
    if (r == 100) {
      done_ = true;
      return false;
    }
    if (r != 0) Fail(st);
    return true;
  }

  int ColumnCount() const override { return out_ == nullptr ? 0 : out_->get()->sqld; }

  std::string ColumnName(int col) const override {
    const XSQLVAR& v = out_->get()->sqlvar[col];
    // The alias when the query gives one, else the field name.
    if (v.aliasname_length > 0) return std::string(v.aliasname, v.aliasname_length);
    return std::string(v.sqlname, v.sqlname_length);
  }

  bool IsBlob(int col) const override {
    const XSQLVAR& v = out_->get()->sqlvar[col];
    return (v.sqltype & ~1) == SQL_BLOB && v.sqlsubtype != kBlobSubTypeText;
  }

  std::string AsText(int col) override {
    XSQLVAR& v = out_->get()->sqlvar[col];
    if (*v.sqlind < 0) return std::string();
    const char* data = v.sqldata;
    switch (v.sqltype & ~1) {
      case SQL_TEXT: {
        // CHAR comes padded with blanks to its byte length (4 per character
        // in UTF8); the padding is not part of the value. OCTETS keeps all.
        std::string s(data, static_cast<size_t>(v.sqllen));
        if (v.sqlsubtype != kCharsetOctets) s.erase(s.find_last_not_of(' ') + 1);
        return s;
      }
      case SQL_VARYING: {
        short len;
        std::memcpy(&len, data, sizeof len);
        return std::string(data + sizeof len, static_cast<size_t>(len));
      }
      case SQL_SHORT:
        return ScaledIntegerText(Read<ISC_SHORT>(data), v.sqlscale);
      case SQL_LONG:
        return ScaledIntegerText(Read<ISC_LONG>(data), v.sqlscale);
      case SQL_INT64:
        return ScaledIntegerText(Read<ISC_INT64>(data), v.sqlscale);
      case SQL_FLOAT:
        return Format("%.7g", static_cast<double>(Read<float>(data)));
      case SQL_DOUBLE:
        return Format("%.15g", Read<double>(data));
      case SQL_BOOLEAN:
        return Read<FB_BOOLEAN>(data) ? "True" : "False";
      case SQL_TYPE_DATE:
        return FirebirdDateText(Read<ISC_DATE>(data));
      case SQL_TYPE_TIME:
        return TimeText(Read<ISC_TIME>(data));
      case SQL_TIMESTAMP: {
        const ISC_TIMESTAMP ts = Read<ISC_TIMESTAMP>(data);
        return FirebirdDateText(ts.timestamp_date) + " " + TimeText(ts.timestamp_time);
      }
      case SQL_BLOB:
        return ReadBlob(v);
      default:
        throw DBError(Format("tipo de coluna do Firebird nao suportado (%d) na coluna %s",
                             v.sqltype & ~1, ColumnName(col).c_str()));
    }
  }

  std::string AsBytes(int col) override { return AsText(col); }

 private:
  template <typename T>
  static T Read(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
  }

  [[noreturn]] void Fail(const ISC_STATUS* st) {
    if (ConnectionLost(st)) *lost_ = true;
    throw DBError(api_.Message(st));
  }

  bool IsSelect(ISC_STATUS* st) {
    static const char items[] = {isc_info_sql_stmt_type};
    char buf[16] = {};
    if (api_.dsql_sql_info(st, &stmt_, sizeof items, items, sizeof buf, buf) != 0) {
      Fail(st);
    }
    if (buf[0] != isc_info_sql_stmt_type) return out_->get()->sqld > 0;
    const int len = static_cast<unsigned char>(buf[1]) | (static_cast<unsigned char>(buf[2]) << 8);
    int type = 0;
    for (int i = len - 1; i >= 0 && i < 4; --i)
      type = (type << 8) | static_cast<unsigned char>(buf[3 + i]);
    return type == isc_info_sql_stmt_select || type == isc_info_sql_stmt_select_for_upd;
  }

  // Gives every output column a buffer and a null indicator.
  void Bind() {
    XSQLDA* da = out_->get();
    buffers_.resize(static_cast<size_t>(da->sqld));
    nulls_.assign(static_cast<size_t>(da->sqld), 0);
    for (short i = 0; i < da->sqld; ++i) {
      XSQLVAR& v = da->sqlvar[i];
      size_t size = static_cast<size_t>(v.sqllen);
      if ((v.sqltype & ~1) == SQL_VARYING) size += sizeof(short);
      buffers_[i].assign(size / sizeof(std::max_align_t) + 1, std::max_align_t{});
      v.sqldata = reinterpret_cast<char*>(buffers_[i].data());
      v.sqltype |= 1;  // always report NULLs through the indicator
      v.sqlind = &nulls_[i];
    }
  }

  std::string ReadBlob(XSQLVAR& v) {
    ISC_QUAD id = Read<ISC_QUAD>(v.sqldata);
    isc_blob_handle blob = 0;
    ISC_STATUS_ARRAY st;
    if (api_.open_blob2(st, db_, &tr_, &blob, &id, 0, nullptr) != 0) Fail(st);
    std::string bytes;
    std::vector<char> segment(32768);
    for (;;) {
      unsigned short got = 0;
      const ISC_STATUS r = api_.get_segment(
          st, &blob, &got, static_cast<unsigned short>(segment.size()), segment.data());
      if (r == 0 || st[1] == isc_segment) {
        bytes.append(segment.data(), got);
      } else if (st[1] == isc_segstr_eof) {
        break;
      } else {
        ISC_STATUS_ARRAY ignored;
        api_.close_blob(ignored, &blob);
        Fail(st);
      }
    }
    api_.close_blob(st, &blob);
    return bytes;
  }

  const FbApi& api_;
  isc_db_handle* db_;
  bool* lost_;
  isc_tr_handle tr_ = 0;
  isc_stmt_handle stmt_ = 0;
  std::unique_ptr<Sqlda> out_;
  std::vector<std::vector<std::max_align_t>> buffers_;
  std::vector<short> nulls_;
  bool done_ = false;
};

class FirebirdConnection final : public TDBConnection {
 public:
  explicit FirebirdConnection(TDBSettings settings) : settings_(std::move(settings)) {}
  ~FirebirdConnection() override { Disconnect(); }

  void Connect() override {
    if (api_.lib == nullptr) {
      FbApi api;
      api.Load(settings_.ClientLibrary);
      api_ = std::move(api);
    }
    Disconnect();
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    auto add = [&dpb](char tag, const std::string& value) {
      if (value.empty()) return;
      if (value.size() > 255) throw DBError("Firebird: valor de conexao longo demais");
      dpb += tag;
      dpb += static_cast<char>(value.size());
      dpb += value;
    };
    add(isc_dpb_user_name, settings_.User);
    add(isc_dpb_password, settings_.Password);
    add(isc_dpb_lc_ctype, settings_.CharSet);
    const std::string target = FirebirdAttachString(settings_);
    ISC_STATUS_ARRAY st;
    isc_db_handle db = 0;
    if (api_.attach_database(st, 0, target.c_str(), &db, static_cast<short>(dpb.size()),
                             dpb.data()) != 0) {
      throw DBError(api_.Message(st));
    }
    db_ = db;
    lost_ = false;
  }

  void Disconnect() override {
    if (db_ == 0) return;
    ISC_STATUS_ARRAY st;
    api_.detach_database(st, &db_);
    db_ = 0;  // a failed detach (server gone) leaves nothing to keep
  }

  // A loss found while rows were read (the cursor cannot drop the
  // attachment it reads from) counts here, so the next GetConnection
  // attaches anew.
  bool Connected() const override { return db_ != 0 && !lost_; }

  std::unique_ptr<TDBCursor> Query(const std::string& sql) override {
    if (db_ == 0) throw DBError("Firebird: conexao nao aberta");
    lost_ = false;
    auto cursor = std::make_unique<FbCursor>(api_, &db_, &lost_);
    try {
      cursor->Open(sql);
    } catch (const DBError&) {
      cursor.reset();
      if (lost_) Disconnect();
      throw;
    }
    return cursor;
  }

 private:
  TDBSettings settings_;
  FbApi api_;
  isc_db_handle db_ = 0;
  bool lost_ = false;
};

}  // namespace

std::unique_ptr<TDBConnection> NewFirebirdConnection(const TDBSettings& settings) {
  return std::make_unique<FirebirdConnection>(settings);
}

std::string FirebirdAttachString(const TDBSettings& settings) {
  if (settings.Server.empty()) return settings.Database;
  if (settings.Port == 0) return settings.Server + ":" + settings.Database;
  return settings.Server + "/" + std::to_string(settings.Port) + ":" + settings.Database;
}

std::string FirebirdDateText(int32_t days) {
  // Civil date from a day count (Howard Hinnant's algorithm), shifted from
  // Firebird's epoch to 0000-03-01.
  const int64_t z = static_cast<int64_t>(days) + 678881;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  return Format("%04lld-%02lld-%02lld", static_cast<long long>(y), static_cast<long long>(m),
                static_cast<long long>(d));
}

}  // namespace lumacor
