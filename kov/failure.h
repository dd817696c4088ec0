/* SPDX-License-Identifier: MIT */
// The failure status of a kov handle: the text kov_errorstr gives, built
// while one call of kov.h runs.  It starts empty in each call that can fail
// (kov_open's new handle, kov_store, kov_fetch, kov_traverse, kov_close,
// and the exit hook); kov_pending and kov_progress_handler, which cannot
// fail, leave it for kov_errorstr to read.  The first failure recorded is
// the cause, and what the call learns after it (records lost with a build,
// the count of records the file keeps) is added as a note: "cause; note".
//
// Invariants (checked by check()):
//  - Once a cause is recorded, fail() never changes the text: a later
//    failure is a consequence of the cause, or a step that was tried after
//    it, and is held aside (latest()) rather than shown.  It is shown, as
//    a note, only where a step's own failure must be told whatever came
//    before it (show_latest: the connection lost in reattach).
//  - The text begins with the cause (cause_len_ bytes, 0 when there is
//    none), and every note follows it after "; ".  Only a note, or a
//    failure of an earlier call put before the cause (precede), lengthens
//    it; only clear() and take_back() shorten it.
//  - A step that recovers from its own failure (a smaller commit after a
//    full one, a build given up whose records go through SQLite instead, a
//    write that can wait) takes back what it recorded since it began
//    (take_back), and no more: a cause recorded before it stays.
//  - Nothing is held while no cause is recorded.
#ifndef KOV_FAILURE_H
#define KOV_FAILURE_H

#include <assert.h>
#include <errno.h>
#include <stddef.h>

#include <string>
#include <string_view>

class kov_failure {
  public:
    // Records text as the cause, or, once there is a cause, holds it as the
    // latest failure without showing it.  Returns -1, for the callers'
    // "return fail(...)".
    int fail(std::string_view text)
    {
        assert(!text.empty());
        if (text_.empty()) {
            text_ = text;
            cause_len_ = text_.size();
            held_.clear();
        } else {
            held_ = text;
        }
        check();
        return -1;
    }

    // Adds text as a note after what is recorded, or as the cause when
    // nothing is.
    void note(std::string_view text)
    {
        assert(!text.empty());
        if (text_.empty()) {
            fail(text);
            return;
        }
        text_ += "; ";
        text_ += text;
        check();
    }

    // Tells text, a failure with what came of it ("cause; note; ..."): as
    // the cause when nothing is recorded; otherwise only what it adds, as
    // notes, when it begins with what is recorded or with its cause (a
    // failed page write that ended a build tells the page again).
    void tell(std::string_view text)
    {
        assert(!text.empty());
        if (text_.empty()) {
            fail(text);
            return;
        }
        std::string_view cause = std::string_view(text_).substr(0, cause_len_);
        if (text.substr(0, text_.size()) == text_)
            text.remove_prefix(text_.size());
        else if (text.substr(0, cause.size()) == cause)
            text.remove_prefix(cause.size());
        while (text.substr(0, 2) == "; ")
            text.remove_prefix(2);
        if (!text.empty())
            note(text);
    }

    // Puts a failure of an earlier call, kept aside by the handle since
    // (kov_context::build_failure), before what this call recorded, which
    // then follows it as a note: the earlier one is the first cause.
    void precede(std::string_view earlier)
    {
        assert(!earlier.empty());
        std::string text(earlier);
        if (!text_.empty())
            text += "; " + text_;
        text_ = std::move(text);
        cause_len_ = earlier.size();
        check();
    }

    // Where the status stands before a step that may recover from its own
    // failure; take_back(mark) undoes what the step recorded.
    size_t mark() const { return text_.size(); }

    void take_back(size_t mark)
    {
        assert(mark <= text_.size() && (mark == 0 || mark >= cause_len_));
        text_.resize(mark);
        if (mark == 0)
            cause_len_ = 0;
        held_.clear();
        check();
    }

    void clear() { take_back(0); }

    bool failed() const { return !text_.empty(); }
    const std::string &text() const { return text_; }

    // The text of the last failure recorded: the one held after the cause,
    // or the cause itself.
    std::string_view latest() const
    {
        return held_.empty() ? std::string_view(text_).substr(0, cause_len_) : held_;
    }

    // Shows the latest failure as a note when it is held after the cause,
    // for a step whose own failure must be told whatever came before it.
    void show_latest()
    {
        if (held_.empty())
            return;
        std::string text = std::move(held_);
        held_.clear();
        note(text);
    }

    // A string for a call that reports its failure through a std::string *
    // (the sorter, the file's checks): what the call leaves in it is
    // recorded as by fail() at the end of the full expression, with the
    // call's errno kept for the caller.
    class out_text {
      public:
        explicit out_text(kov_failure &f) : f_(f) {}
        out_text(const out_text &) = delete;
        out_text &operator=(const out_text &) = delete;
        ~out_text()
        {
            if (text_.empty())
                return;
            int saved = errno;
            f_.fail(text_);
            errno = saved;
        }
        operator std::string *() { return &text_; }

      private:
        kov_failure &f_;
        std::string text_;
    };
    out_text out() { return out_text(*this); }

  private:
    void check() const
    {
        assert(cause_len_ <= text_.size());
        assert((cause_len_ == 0) == text_.empty());
        assert(cause_len_ == text_.size() || text_.compare(cause_len_, 2, "; ") == 0);
        assert(held_.empty() || !text_.empty());
    }

    std::string text_;      // the cause, then its notes; empty: no failure
    size_t cause_len_ = 0;  // bytes of text_ that are the cause
    std::string held_;      // the latest failure after the cause, not shown
};

#endif
