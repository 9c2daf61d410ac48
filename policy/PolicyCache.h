#pragma once
// The company policy file as cipher.dll reads it, kept from one request to the
// next while the file cannot have changed.

#include "companions/cipher/cipher.h"
#include "request/PolicySource.h"

#include <memory>

// A policy object of a_source that reads as a fresh one would read now. A
// draft is always read afresh; for the installed policy, the kept one
// while the file beside cipher.dll is the same file, of the same size, with
// the same last-write and change times, in folders that are unchanged too,
// and those times lie far enough back that a later write must show in them;
// a fresh one otherwise.
// When another program holds the file open without sharing it, a read fails
// although the file is there: that is no missing policy but a sign of an
// attack, so the last good policy read by this process stays in force.
std::shared_ptr<CCCF> CurrentPolicy(const PolicySource& a_source);

// A fresh read of the policy a_source names.
std::shared_ptr<CCCF> OpenPolicy(const PolicySource& a_source);

// True while the policy file, read as a request reads it, is held open by
// another program and this process has never read a good policy: nothing can
// tell whether a request must be controlled, so controlled requests are
// refused, not handed back.
bool IsPolicyHeldByAnother(const PolicySource& a_source);
