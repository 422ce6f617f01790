// What a downloaded ZIP archive says about itself before anything of it is
// unpacked: the unpacked sizes its central directory lists, and the largest
// total the update service unpacks for an archive of a given size.
#ifndef PANEL_UPDATE_ARCHIVELISTING_H
#define PANEL_UPDATE_ARCHIVELISTING_H

#include <QByteArray>
#include <QtGlobal>

// The sum of the unpacked sizes of every entry the archive's central
// directory lists (ZIP64 sizes included; a sum beyond 64 bits saturates).
// False when `zip` holds no readable central directory: no end record, an
// archive spread over several disks, entries that run past the directory or
// fewer entries than the end record announces.
bool archiveListedSize(const QByteArray& zip, quint64* total);

// The largest listed unpacked size accepted for an archive of `archiveBytes`
// bytes: 200 times the archive (at least 64 MiB), and never more than 2 GiB.
// Installers compress to half their size or so; far more is an archive made
// to fill the disk.
quint64 maxUnpackedSize(qint64 archiveBytes);

#endif
