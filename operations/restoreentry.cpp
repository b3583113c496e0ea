#include "operations/restoreentry.h"

#include <algorithm>

bool compareRestoreEntries(const RestoreEntry &a, const RestoreEntry &b)
{
    const qint64 d = a.rowid - b.rowid;
    const qint64 e = qint64(a.date) - qint64(b.date);
    const bool tieFirst = a.existing && !b.existing;
    if (d > 20 || d < -20 || e > 120 || e < -120)
        return e != 0 ? e < 0 : tieFirst;
    return d != 0 ? d < 0 : tieFirst;
}

void sortRestoreEntries(QVector<RestoreEntry> &entries)
{
    const int size = entries.size();
    if (size < 2)
        return;
    // Sort positions and move each entry once at the end.
    QVector<int> from(size);
    for (int i = 0; i < size; ++i)
        from[i] = i;
    QVector<int> to(size);
    // Bottom-up merge: every step reads each position once, so a relation that contradicts
    // itself can only change the order, never run past a range.
    for (int width = 1; width < size; width *= 2) {
        for (int lo = 0; lo < size; lo += 2 * width) {
            const int mid = std::min(lo + width, size);
            const int hi = std::min(lo + 2 * width, size);
            int i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                if (compareRestoreEntries(entries.at(from.at(j)), entries.at(from.at(i))))
                    to[k++] = from[j++];
                else
                    to[k++] = from[i++];
            }
            while (i < mid)
                to[k++] = from[i++];
            while (j < hi)
                to[k++] = from[j++];
        }
        from.swap(to);
    }
    QVector<RestoreEntry> sorted;
    sorted.reserve(size);
    for (int index : qAsConst(from))
        sorted.append(std::move(entries[index]));
    entries.swap(sorted);
}
