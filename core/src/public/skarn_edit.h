/*
 * skarn_edit.h: the whole C interface of skarn_edit.
 */
#ifndef SKARN_EDIT_H
#define SKARN_EDIT_H

#include "skarn_edit/types.h"
#include "skarn_edit/bom.h"
#include "skarn_edit/byte_profile.h"
#include "skarn_edit/change.h"
#include "skarn_edit/character_counts.h"
#include "skarn_edit/edit.h"
#include "skarn_edit/encode.h"
#include "skarn_edit/error.h"
#include "skarn_edit/filesystem.h"
#include "skarn_edit/find.h"
#include "skarn_edit/options.h"
#include "skarn_edit/search.h"
#include "skarn_edit/segment.h"
#include "skarn_edit/session.h"
#include "skarn_edit/utility.h"
#include "skarn_edit/version.h"
#include "skarn_edit/viewport.h"
#include "skarn_edit/visit.h"

#endif /* SKARN_EDIT_H */
