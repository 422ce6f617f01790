// UpdateInformation: the update service's network and file worker. Runs in a
// thread of its own and has no windows. It fetches the update-information
// document of the current model, downloads an installer or an archive that
// holds one into a fresh temporary folder, unpacks the archive and starts the
// installer. Every outcome is reported by signal.
//
// Only HTTPS addresses are fetched; certificates are checked against the
// platform's trust store (see tlstrust.h) and a TLS error is a failure.
//
// Neither the document nor a file download waits for ever: each ends as
// failed when a whole inactivity time (60 s) passes in which fewer than
// kMinimumProgressBytes arrived. A download that keeps coming, however
// slowly it fills its bar, goes on; a server that sends nothing, or a few
// bytes now and then, cannot hold the waiting state or the download window
// open. The document, a few kilobytes that nobody watches arrive, is also
// given kDocumentInactivityTimes inactivity times in all.
//
// Unpacking does not wait for ever either: an unpacker that writes nothing
// new for a whole unpack inactivity time (60 s) is stopped, what it wrote is
// removed, and the unpack fails. One that keeps writing, however slowly,
// goes on.
//
// A download or unpack that fails leaves no folder behind: what was saved or
// unpacked of it is removed.
//
// Only the maker's installer is started (installersignature.h): an installer
// is checked when it has arrived and again just before it starts, and one
// that fails either check is deleted and reported as a failed download. An
// archive's entry names are checked from its central directory before
// anything is unpacked; the installer found in it is moved alone into a
// fresh folder of its own (other files the archive carried, such as DLLs,
// are not beside it when it starts) and checked there. Download folders are
// for the user only.
//
// Redirects are followed only to HTTPS addresses on the same host, or, for a
// file download, on a host that the last update document names in one of
// its addresses.
#ifndef PANEL_UPDATE_UPDATEINFORMATION_H
#define PANEL_UPDATE_UPDATEINFORMATION_H

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QString>
#include <atomic>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QTemporaryDir;
class QTimer;

// The built-in address of a model's update document (0 Tarrow, else Far Link).
QString builtInInformationUrl(int deviceType);

// Bytes that must arrive within each inactivity time to keep a transfer going.
constexpr qint64 kMinimumProgressBytes = 4096;
// Inactivity times the whole document fetch may take (5 min at 60 s): a
// server that sends just enough to stay alive cannot hold the waiting state.
constexpr int kDocumentInactivityTimes = 5;
// A larger update document is refused (documents are a few kilobytes), at
// its headers when it announces its size.
constexpr qint64 kMaxDocumentBytes = 8 * 1024 * 1024;
// A larger file download is refused at its headers when it announces its
// size, else while it arrives (installers are tens of megabytes; the whole
// body is held in memory before it is saved).
constexpr qint64 kMaxDownloadBytes = qint64(1) << 30;
// Characters of a document written to the debug log.
constexpr int kLoggedDocumentChars = 2000;

class UpdateInformation : public QObject {
  Q_OBJECT

 public:
  explicit UpdateInformation(QObject* parent = nullptr);
  ~UpdateInformation() override;

  // The document fetch and a file download fail after this long without
  // progress (60000 ms). May be set from any thread; takes effect at the next
  // fetch, download or progress report.
  void setInactivityTimeout(int ms) { inactivityMs = ms; }
  // A file download larger than this fails (kMaxDownloadBytes). May be set
  // from any thread; takes effect at the next progress report.
  void setMaxDownloadBytes(qint64 bytes) { maxDownloadBytes = bytes; }
  // An archive unpacks to at most this many bytes, below the bound its own
  // size gives (maxUnpackedSize). For tests; takes effect at the next archive.
  void setMaxUnpackedBytes(quint64 bytes) { maxUnpackedBytes = bytes; }
  // The unpacker (and the listing of the archive before it) is stopped after
  // this long without writing anything new (60000 ms). May be set from any
  // thread; takes effect at the next unpack step.
  void setUnpackInactivityTimeout(int ms) { unpackInactivityMs = ms; }
  // The folder of the last file download (empty before one was saved); after
  // an archive, the installer's own folder.
  QString lastDownloadFolder() const;
  // Starts the installer `path` with `folder` as its working folder; true
  // when it started. The default starts it detached (on Windows through the
  // shell). For tests; set it before the worker's thread runs.
  using InstallerStarter = std::function<bool(const QString& path, const QString& folder)>;
  void setInstallerStarter(InstallerStarter starter) { installerStarter = std::move(starter); }

 signals:
  void finishedInformation(QString str);
  void startedDownloadFile();
  void finishedDownloadFile();
  // Percent of the file received; -1 while its total size is unknown (no
  // length announced, as with chunked or compressed responses).
  void progressValueChanged(int);
  void errorDownloadFile();
  void readiedExec();
  void finishDownloadJson();

 public slots:
  void downloadInformation();
  void downloadFile(QString url);
  void cancelDownload();
  void timeoutDownload();
  void execFile();
  void setDeviceType(int i);

 private slots:
  void replyFinishedInfo(QNetworkReply* reply);
  void replyFinishedFileDownload(QNetworkReply* reply);
  void replyFinishedUnzip(int, QProcess::ExitStatus);
  void replyFinishedMount(int, QProcess::ExitStatus);
  void replyDownloadProgress(qint64 received, qint64 total);

 private:
  // Ends the current file download as failed.
  void failDownload();
  // Re-arms `timer` once kMinimumProgressBytes more than `*mark` arrived.
  void noteProgress(QTimer* timer, qint64* mark, qint64 received);
  void documentProgress(qint64 received, qint64 total);
  // False, after emitting errorDownloadFile, when an archive lists more
  // unpacked bytes than it may or an entry name that is refused, or is no
  // archive.
  bool archiveFits(const QByteArray& body);
  void startUnzip();
  // Starts the unpacker and watches what it writes: it is stopped once the
  // folder holds more than the archive may unpack to.
  void startUnpacker(const QString& program, const QStringList& arguments);
  // Watches the running unpacker every 50 ms.
  void watchUnpack();
  void checkUnpack();
  // Bytes in the download folder beyond the archive and the unpack script;
  // `entries` (when given) is set to the number of files and folders in it.
  quint64 unpackedBytes(qint64* entries = nullptr) const;
  // Removes the download folder with everything in it, after a failure.
  void discardDownloadFolder();
  // A fresh temporary folder for the user only, as tempDir; false after
  // emitting errorDownloadFile when none can be made.
  bool makeDownloadFolder();
  // Moves the installer `found` (in the unpack folder) alone into a fresh
  // folder and removes the unpack folder; false when that fails.
  bool moveInstallerAway(const QString& found);
  // True when the installer at `path` is the maker's; otherwise deletes it
  // with its folder and reports the download as failed.
  bool installerIsTrusted(const QString& path);
  void refuseInstaller(const QString& path, const QString& reason);
  // Allows a redirect of `reply` to a host named in `hosts` and refuses any
  // other: the reply then ends as failed (`*refused` set).
  void guardRedirects(QNetworkReply* reply, const QSet<QString>& hosts, bool* refused);
  QString tempPath(const QString& name) const;

  int deviceType = 0;
  QNetworkAccessManager* manager = nullptr;
  QProcess process;
  QTemporaryDir* tempDir = nullptr;
  // Guarded: the reply is deleted by its manager too, and a cancel or timeout
  // may come after that.
  QPointer<QNetworkReply> fileReply;
  QTimer* timeoutTimer = nullptr;
  bool timedOut = false;
  bool tooLarge = false;  // the download was aborted for its size
  qint64 fileMark = 0;    // bytes received when timeoutTimer was last armed
  QPointer<QNetworkReply> documentReply;
  QTimer* documentTimer = nullptr;
  qint64 documentMark = 0;
  QElapsedTimer documentClock;  // since the document was asked for
  QTimer* unpackWatch = nullptr;
  quint64 unpackBound = 0;      // of the archive being unpacked
  qint64 archiveBytes = 0;      // its size as saved
  bool unpackStalled = false;   // it was stopped for writing nothing
  quint64 unpackSeenBytes = 0;  // what the step had written at the last check
  qint64 unpackSeenEntries = 0;
  QElapsedTimer unpackIdle;  // since it last wrote something new
  // Hosts of the addresses in the last update document (lower case).
  QSet<QString> documentHosts;
  bool documentRedirectRefused = false;
  bool fileRedirectRefused = false;
  InstallerStarter installerStarter;
  bool isExe = false;
  bool isDmg = false;
  QString execPath;

  mutable QMutex folderLock;
  QString folderPath;  // path of tempDir, kept after tempDir is released
  std::atomic<int> inactivityMs{60000};
  std::atomic<qint64> maxDownloadBytes{kMaxDownloadBytes};
  std::atomic<quint64> maxUnpackedBytes{~quint64(0)};
  std::atomic<int> unpackInactivityMs{60000};
};

#endif
