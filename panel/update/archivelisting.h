// What a downloaded ZIP archive says about itself before anything of it is
// unpacked: the names and unpacked sizes its central directory lists, which
// names are refused, and the largest total the update service unpacks for an
// archive of a given size.
#ifndef PANEL_UPDATE_ARCHIVELISTING_H
#define PANEL_UPDATE_ARCHIVELISTING_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// What the archive's central directory lists.
struct ArchiveListing {
  // The sum of the entries' unpacked sizes (ZIP64 sizes included; a sum
  // beyond 64 bits saturates).
  quint64 unpackedBytes = 0;
  // The entries' names: UTF-8 when the entry says so, else each byte as one
  // character (Latin-1), which keeps every separator byte a separator.
  QStringList names;
  // Entries that are symbolic links (a Unix mode in their external
  // attributes): an unpacker that makes them would write later entries
  // through them, wherever they point.
  int links = 0;
};

// False when `zip` holds no readable central directory: no end record, an
// archive spread over several disks, entries that run past the directory or
// fewer entries than the end record announces; or when an entry's local
// header is not where the directory says or names another file (unpackers
// differ in which of the two names they use).
bool readArchiveListing(const QByteArray& zip, ArchiveListing* listing);

// The listing's unpacked size alone.
bool archiveListedSize(const QByteArray& zip, quint64* total);

// True when an entry name is refused: it would land outside the folder it is
// unpacked into (an absolute name, a drive, a ".." component), or names what
// Windows does not take as a plain file (a ':' anywhere, as in an alternate
// data stream, a device name such as CON or LPT1 as a component), or holds a
// control character, or is empty.
bool archiveEntryRefused(const QString& name);

// The largest listed unpacked size accepted for an archive of `archiveBytes`
// bytes: 200 times the archive (at least 64 MiB), and never more than 2 GiB.
// Installers compress to half their size or so; far more is an archive made
// to fill the disk.
quint64 maxUnpackedSize(qint64 archiveBytes);

#endif
