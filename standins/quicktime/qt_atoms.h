// Atom containers: a Handle holding big-endian data, so a container moves like any handle.
//
//   Container:  offset  size  field
//               0       10    zero
//               10      2     lock count
//               12      ...   the top-level atoms, one after another
//   Atom:       0       4     size, header and children or data included
//               4       4     type
//               8       4     ID
//               12      2     reserved (0)
//               14      2     child count
//               16      4     reserved (0)
//               20      ...   the children (a parent) or the data (a leaf)
//
// A QTAtom is the byte offset of an atom's header in the container (ours); parent 0 is the
// top level. Every offset a caller passes is checked by walking the tree from the top, and
// every read and write stays inside the block.
#pragma once

#include "qt_runtime.h"

namespace hx_qt {
namespace atoms {

long QTNextChildAnyType(const uint32_t* args);
long QTNewAtomContainer(const uint32_t* args);
long QTDisposeAtomContainer(const uint32_t* args);
long QTCountChildrenOfType(const uint32_t* args);
long QTFindChildByIndex(const uint32_t* args);
long QTCopyAtomDataToPtr(const uint32_t* args);
long QTLockContainer(const uint32_t* args);
long QTUnlockContainer(const uint32_t* args);
long QTInsertChild(const uint32_t* args);
long QTGetAtomTypeAndID(const uint32_t* args);

}  // namespace atoms
}  // namespace hx_qt
