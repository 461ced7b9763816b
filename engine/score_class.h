// Score_Class: the engine's one creatable class, reached through COM.
//
// The listener creates one object per datagram by CLSID_Score_Class, sets
// ConnectionString, ListenPort, ConnectedIPAddress, ConnectedPortAddress,
// LogPath, rawlog and UDPData in this order, and calls Process, which runs
// one processing pass synchronously. The members of _Score_Class follow the
// fixed slot order after the standard object and automation members; callers
// bind to the slots, so the order must never change.
//
// Property values live in the calling thread's EngineState, not in the
// object: every object on one thread sees the same values, and they outlast
// the object.
//
// Process throws com::Error for failures the pass does not handle itself (a
// database that cannot be opened, a malformed datagram). A pass stopped by
// the user's Cancel returns normally; IScoreReport tells how the last pass on
// the thread ended and which lines it skipped.
//
// Thread safety: one pass at a time per thread; objects must be used on the
// thread that created them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "com.h"

namespace tallycore {

extern const com::Guid CLSID_Score_Class;
extern const com::Guid IID__Score_Class;
extern const com::Guid IID_IScoreReport;
extern const com::Guid IID_IDatagramIdentity;

constexpr const char kProgID[] = "Tallycore.Score_Class";
constexpr const char kLibraryName[] = "libtallycore.so";
// The address that ends the messages advising the user to write (the engine's
// and the listener's).
constexpr const char kSupportAddress[] = "support@tallyhost.org";

class _Score_Class : public com::IDispatch {
 public:
  virtual int32_t get_Record() = 0;                                   // 1
  virtual void put_Record(int32_t vNewValue) = 0;                     // 2
  virtual void Process() = 0;                                         // 3
  virtual std::string get_ConnectionString() = 0;                     // 4
  virtual void put_ConnectionString(const std::string& vNewValue) = 0;  // 5
  virtual int32_t get_ListenPort() = 0;                               // 6
  virtual void put_ListenPort(int32_t vNewValue) = 0;                 // 7
  virtual std::string get_ConnectedIPAddress() = 0;                   // 8
  virtual void put_ConnectedIPAddress(const std::string& vNewValue) = 0;  // 9
  virtual int32_t get_ConnectedPortAddress() = 0;                     // 10
  virtual void put_ConnectedPortAddress(int32_t vNewValue) = 0;       // 11
  virtual std::string get_LogPath() = 0;                              // 12
  virtual void put_LogPath(const std::string& vNewValue) = 0;         // 13
  virtual std::vector<uint8_t> get_UDPData() = 0;                     // 14
  virtual void put_UDPData(const std::vector<uint8_t>& vNewValue) = 0;  // 15
  virtual int16_t get_rawlog() = 0;                                   // 16
  virtual void put_rawlog(int16_t vNewValue) = 0;                     // 17
};

// How the last pass on the calling thread ended.
struct PassOutcome {
  bool completed = false;          // the COMPLETED line was written
  bool stopped = false;            // the user chose Cancel at a prompt
  std::string failure;             // set when Process threw
  bool deferred = false;           // nothing of the datagram was stored: the process log or the
                                   // database could not be written, or the database stayed locked;
                                   // hand it over again later
  std::vector<int32_t> skipped_lines;   // record-section lines that could not be read
  std::vector<std::string> ignored;     // statements the user chose to ignore (No)
  int32_t process_number = 0;
  std::string server_hostname;     // the sending server's "hostname", once identified
  bool already_stored = false;     // the datagram's identity was found in the database's
                                   // ledger: it was stored before, and nothing was done
};

class IScoreReport : public com::IUnknown {
 public:
  virtual PassOutcome LastPass() = 0;
};

// Names the datagram of the next Process on the calling thread for good:
// the key of the spool that holds it and its number there (spool.h). The
// pass then records it in the database's ledger (received_ledger.h) in its
// own transaction, or ends at once with LastPass().already_stored when the
// ledger has it already. Used for one pass only; without it a pass keeps no
// ledger.
class IDatagramIdentity : public com::IUnknown {
 public:
  virtual void SetIdentity(const std::string& spool_key, uint64_t sequence) = 0;
};

}  // namespace tallycore
