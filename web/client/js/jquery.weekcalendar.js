/*
 * jQuery.weekCalendar 2.0-dev: a week of days side by side, hours down the
 * page, one block per event. Rudaz Odudad's own plug-in, written for the
 * recordings calendar; it needs jQuery and uses jQuery UI's theme classes (and
 * its buttons when they are loaded).
 *
 *   $(el).weekCalendar(options)        build the calendar and load the week
 *   $(el).weekCalendar("refresh")      load the shown week's events again
 *   $(el).weekCalendar("prevWeek" | "nextWeek" | "today")
 *   $(el).weekCalendar("gotoWeek", date)
 *
 * Events are objects with "id", "title", "start" and "end"; start and end are
 * Date objects, milliseconds, or texts of the form "mm/dd/yyyy hh:mm:ss"
 * (local time). An event that runs past midnight is drawn in each day it
 * touches. Events are never moved, resized or created here: the calendar only
 * shows them.
 */
(function ($) {
    "use strict";

    var MS_PER_DAY = 86400000;

    var defaults = {
        date: null,                 // a day of the week shown first; null: today
        daysToShow: 7,
        firstDayOfWeek: 0,          // 0 Sunday, 1 Monday, ...
        timeslotsPerHour: 4,
        timeslotHeight: 20,         // pixels of one timeslot
        use24Hour: false,
        businessHours: {start: 8, end: 18, limitDisplay: false}, // or false: every hour alike
        readonly: false,
        allowCalEventOverlap: false,
        overlapEventsSeparate: false, // overlapping events side by side rather than over each other
        minEventHeight: 12,         // pixels: a short event stays clickable
        height: function ($calendar) { return $(window).height() - 20; },
        data: [],                   // an array, a URL (start and end in ms as parameters) or function(start, end, callback)
        eventClick: function (calEvent, $event) {},
        spanSelected: null,         // function(start, end): a span dragged out in a day; null: no dragging
        eventRender: function (calEvent, $event) { return $event; },
        buttons: true,
        buttonText: {today: "today", lastWeek: "&lt;", nextWeek: "&gt;"},
        shortDays: ["Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"],
        longMonths: ["January", "February", "March", "April", "May", "June", "July", "August",
                     "September", "October", "November", "December"]
    };

    function pad(n) { return (n < 10 ? "0" : "") + n; }

    function startOfDay(date) {
        return new Date(date.getFullYear(), date.getMonth(), date.getDate());
    }

    // Calendar days, not 24-hour steps, so that a change of summer time keeps midnight.
    function addDays(date, days) {
        return new Date(date.getFullYear(), date.getMonth(), date.getDate() + days,
                        date.getHours(), date.getMinutes(), date.getSeconds(), date.getMilliseconds());
    }

    function parseDate(value) {
        if (value instanceof Date) {
            return value;
        }
        if (typeof value === "number") {
            return new Date(value);
        }
        var m = /^\s*(\d{1,2})\/(\d{1,2})\/(\d{4})(?:\s+(\d{1,2}):(\d{2})(?::(\d{2}))?)?/.exec(String(value));
        if (m) {
            return new Date(+m[3], +m[1] - 1, +m[2], +(m[4] || 0), +(m[5] || 0), +(m[6] || 0));
        }
        var parsed = new Date(value);
        return isNaN(parsed.getTime()) ? null : parsed;
    }

    function WeekCalendar(element, options) {
        this.element = $(element);
        this.options = $.extend({}, defaults, options);
        this.options.buttonText = $.extend({}, defaults.buttonText, options && options.buttonText);
        this.loadCount = 0;
        this.build();
        this.gotoWeek(this.options.date || new Date());
    }

    WeekCalendar.prototype = {
        hourRange: function () {
            var bh = this.options.businessHours;
            if (bh && bh.limitDisplay) {
                return {first: bh.start, last: bh.end};
            }
            return {first: 0, last: 24};
        },

        hourHeight: function () {
            return this.options.timeslotsPerHour * this.options.timeslotHeight;
        },

        timeText: function (date) {
            var h = date.getHours();
            if (this.options.use24Hour) {
                return pad(h) + ":" + pad(date.getMinutes());
            }
            return ((h + 11) % 12 + 1) + ":" + pad(date.getMinutes()) + (h < 12 ? " am" : " pm");
        },

        build: function () {
            var self = this, o = this.options, range = this.hourRange();
            var el = this.element.addClass("wc-container ui-widget").empty();

            var toolbar = $('<div class="wc-toolbar ui-widget-header ui-corner-all"></div>').appendTo(el);
            if (o.buttons) {
                var nav = $('<div class="wc-nav"></div>').appendTo(toolbar);
                $('<button type="button" class="wc-prev"></button>').html(o.buttonText.lastWeek)
                    .click(function () { self.prevWeek(); }).appendTo(nav);
                $('<button type="button" class="wc-today"></button>').html(o.buttonText.today)
                    .click(function () { self.today(); }).appendTo(nav);
                $('<button type="button" class="wc-next"></button>').html(o.buttonText.nextWeek)
                    .click(function () { self.nextWeek(); }).appendTo(nav);
                if ($.fn.button) {
                    nav.find("button").button();
                }
            }
            this.title = $('<h1 class="wc-title"></h1>').appendTo(toolbar);

            var header = $('<table class="wc-header"><tbody><tr></tr></tbody></table>').appendTo(el);
            var headerRow = header.find("tr");
            $('<td class="wc-time-column-header"></td>').appendTo(headerRow);
            for (var d = 0; d < o.daysToShow; d++) {
                $('<td class="wc-day-column-header ui-widget-header"></td>').addClass("wc-day-" + (d + 1)).appendTo(headerRow);
            }
            $('<td class="wc-scrollbar-shim"></td>').appendTo(headerRow);

            this.grid = $('<div class="wc-scrollable-grid"></div>').appendTo(el);
            var table = $('<table class="wc-time-slots"><tbody><tr></tr></tbody></table>').appendTo(this.grid);
            var row = table.find("tr");
            var hours = range.last - range.first, hourHeight = this.hourHeight();

            var times = $('<td class="wc-grid-timeslot-header"></td>').appendTo(row);
            for (var h = range.first; h < range.last; h++) {
                $('<div class="wc-hour-header ui-widget-content"></div>')
                    .css("height", (hourHeight - 1) + "px")
                    .text(this.timeText(new Date(2000, 0, 1, h, 0)))
                    .appendTo(times);
            }
            var slots = "", bh = o.businessHours;
            for (h = range.first; h < range.last; h++) {
                for (var s = 0; s < o.timeslotsPerHour; s++) {
                    var business = bh && h >= bh.start && h < bh.end ? " wc-business-hours" : "";
                    slots += '<div class="wc-time-slot' + (s === o.timeslotsPerHour - 1 ? " wc-hour-end" : "") +
                        business + '" style="height:' + (o.timeslotHeight - 1) + 'px"></div>';
                }
            }
            this.columns = [];
            for (d = 0; d < o.daysToShow; d++) {
                var cell = $('<td class="wc-day-column ui-widget-content"></td>').addClass("day-" + (d + 1)).appendTo(row);
                var inner = $('<div class="wc-day-column-inner"></div>').css("height", (hours * hourHeight) + "px")
                    .html(slots).appendTo(cell);
                this.columns.push(inner);
            }
            if (o.readonly) {
                el.addClass("wc-readonly");
            }
            if (o.spanSelected) {
                this.columns.forEach(function (column, day) {
                    column.on("mousedown", function (e) { self.startSpan(day, column, e); });
                });
            }
            this.resize();
            $(window).on("resize", function () { self.resize(); });
        },

        resize: function () {
            var height = this.options.height(this.element);
            var used = this.element.find(".wc-toolbar").outerHeight(true) + this.element.find(".wc-header").outerHeight(true);
            this.grid.css("height", Math.max(height - used, 100) + "px");
            // The header's last cell stands above the grid's scroll bar, whatever its width here.
            this.element.find(".wc-scrollbar-shim").css("width", (this.grid[0].offsetWidth - this.grid[0].clientWidth) + "px");
        },

        gotoWeek: function (date) {
            var day = startOfDay(parseDate(date) || new Date());
            var back = (day.getDay() - this.options.firstDayOfWeek + 7) % 7;
            this.weekStart = addDays(day, -back);
            this.weekEnd = addDays(this.weekStart, this.options.daysToShow);
            this.scrollPending = true; // once the week's events are in
            this.drawHeaders();
            this.refresh();
        },

        prevWeek: function () { this.gotoWeek(addDays(this.weekStart, -7)); },
        nextWeek: function () { this.gotoWeek(addDays(this.weekStart, 7)); },
        today: function () { this.gotoWeek(new Date()); },

        drawHeaders: function () {
            var o = this.options, start = this.weekStart, last = addDays(this.weekEnd, -1), todayTime = startOfDay(new Date()).getTime();
            var months = o.longMonths;
            this.title.text(start.getDate() + " " + months[start.getMonth()] + " " + start.getFullYear() + " \u2013 " +
                            last.getDate() + " " + months[last.getMonth()] + " " + last.getFullYear());
            for (var d = 0; d < o.daysToShow; d++) {
                var day = addDays(start, d);
                this.element.find(".wc-day-column-header.wc-day-" + (d + 1))
                    .text(o.shortDays[day.getDay()] + " " + day.getFullYear() + "-" + pad(day.getMonth() + 1) + "-" + pad(day.getDate()))
                    .toggleClass("wc-today ui-state-highlight", day.getTime() === todayTime);
                this.columns[d].parent().toggleClass("wc-today", day.getTime() === todayTime);
            }
        },

        refresh: function () {
            var self = this, o = this.options, token = ++this.loadCount;
            var start = new Date(this.weekStart.getTime()), end = new Date(this.weekEnd.getTime());
            // An answer for a week or slot no longer shown is dropped.
            var done = function (events) {
                if (token === self.loadCount) {
                    self.renderEvents(events || []);
                }
            };
            this.clearEvents();
            if (typeof o.data === "function") {
                o.data(start, end, done);
            } else if (typeof o.data === "string") {
                $.getJSON(o.data, {start: start.getTime(), end: end.getTime()}, done);
            } else {
                done(o.data);
            }
        },

        clearEvents: function () {
            this.element.find(".wc-cal-event").remove();
        },

        renderEvents: function (events) {
            var o = this.options, range = this.hourRange(), pxPerMs = this.hourHeight() / 3600000;
            this.clearEvents();
            for (var d = 0; d < o.daysToShow; d++) {
                var dayStart = addDays(this.weekStart, d);
                var shownStart = addDays(dayStart, 0).setHours(range.first);
                var shownEnd = range.last === 24 ? addDays(dayStart, 1).getTime() : new Date(dayStart.getTime()).setHours(range.last);
                var parts = [];
                for (var i = 0; i < events.length; i++) {
                    var ev = events[i], evStart = parseDate(ev.start), evEnd = parseDate(ev.end);
                    if (!evStart) {
                        continue;
                    }
                    var from = evStart.getTime(), to = evEnd ? Math.max(evEnd.getTime(), from) : from;
                    var touches = (from < shownEnd && to > shownStart) || (from >= shownStart && from < shownEnd);
                    if (touches) {
                        parts.push({event: ev, start: evStart, end: evEnd || evStart,
                                    from: Math.max(from, shownStart), to: Math.min(to, shownEnd)});
                    }
                }
                this.layOut(parts, pxPerMs);
                for (i = 0; i < parts.length; i++) {
                    this.drawPart(this.columns[d], parts[i], shownStart, pxPerMs);
                }
            }
            if (this.scrollPending) {
                this.scrollPending = false;
                this.scrollToFirst(events);
            }
        },

        // A new week opens at the current time when it holds it, else at its first event.
        scrollToFirst: function (events) {
            var now = new Date(), first = null, range = this.hourRange();
            if (now >= this.weekStart && now < this.weekEnd) {
                first = now;
            } else {
                for (var i = 0; i < events.length; i++) {
                    var start = parseDate(events[i].start);
                    if (start && start < this.weekEnd && (!first || start < first) &&
                        (parseDate(events[i].end) || start) >= this.weekStart) {
                        first = start < this.weekStart ? this.weekStart : start;
                    }
                }
            }
            if (first) {
                var hours = first.getHours() + first.getMinutes() / 60 - range.first;
                this.grid.scrollTop(Math.max(0, (hours - 1) * this.hourHeight()));
            }
        },

        // Events whose blocks overlap on screen (a short one is drawn taller
        // than it lasts) share the width side by side, each in the first column
        // free at its start, or are stacked with an offset; each stays clickable.
        layOut: function (parts, pxPerMs) {
            var o = this.options, minMs = (o.minEventHeight + 2) / pxPerMs;
            for (var i = 0; i < parts.length; i++) {
                parts[i].screenEnd = Math.max(parts[i].to, parts[i].from + minMs);
            }
            parts.sort(function (a, b) { return a.from - b.from || b.to - a.to; });
            var group = [], columnEnds = [], groupEnd = -Infinity;
            var finish = function () {
                for (var k = 0; k < group.length; k++) {
                    if (o.overlapEventsSeparate) {
                        group[k].left = group[k].column / columnEnds.length;
                        group[k].width = 1 / columnEnds.length;
                    } else {
                        group[k].left = Math.min(k * 0.1, 0.5);
                        group[k].width = 1 - group[k].left;
                    }
                }
                group = [];
                columnEnds = [];
            };
            for (i = 0; i < parts.length; i++) {
                var part = parts[i];
                if (part.from >= groupEnd) {
                    finish();
                    groupEnd = -Infinity;
                }
                var column = 0;
                while (column < columnEnds.length && columnEnds[column] > part.from) {
                    column++;
                }
                columnEnds[column] = part.screenEnd;
                part.column = column;
                group.push(part);
                groupEnd = Math.max(groupEnd, part.screenEnd);
            }
            finish();
        },

        // A drag up or down a day, over its events too, selects a span in steps
        // of 5 minutes (a pixel is more than a minute); a mere click is left to
        // the event under the mouse.
        startSpan: function (day, column, down) {
            if (down.which !== 1) {
                return;
            }
            var self = this, o = this.options, range = this.hourRange();
            var shownStart = addDays(this.weekStart, day).setHours(range.first);
            var msPerPx = 3600000 / this.hourHeight(), top = column.offset().top;
            var at = function (e) {
                var ms = Math.round((e.pageY - top) * msPerPx / 300000) * 300000;
                return Math.min(Math.max(ms, 0), (range.last - range.first) * 3600000);
            };
            var first = at(down), box = null;
            var move = function (e) {
                var now = at(e), a = Math.min(first, now), b = Math.max(first, now);
                if (!box && Math.abs(e.pageY - down.pageY) < 5) {
                    return;
                }
                if (!box) {
                    self.element.find(".wc-selection").remove();
                    box = $('<div class="wc-selection"></div>').appendTo(column);
                }
                box.css({top: Math.round(a / msPerPx) + "px", height: Math.max(1, Math.round((b - a) / msPerPx)) + "px"});
                e.preventDefault();
            };
            var up = function (e) {
                $(document).off("mousemove", move).off("mouseup", up);
                if (!box) {
                    return;
                }
                var now = at(e), a = Math.min(first, now), b = Math.max(first, now);
                // The click that ends a drag selects no event.
                self.dragged = true;
                setTimeout(function () { self.dragged = false; }, 0);
                if (b > a) {
                    o.spanSelected(new Date(shownStart + a), new Date(shownStart + b));
                } else {
                    box.remove();
                }
            };
            $(document).on("mousemove", move).on("mouseup", up);
            down.preventDefault();
        },

        drawPart: function (column, part, shownStart, pxPerMs) {
            var self = this, o = this.options, ev = part.event;
            var top = Math.round((part.from - shownStart) * pxPerMs);
            var height = Math.max(Math.round((part.to - part.from) * pxPerMs) - 2, o.minEventHeight);
            var time = this.timeText(part.start) + " \u2013 " + this.timeText(part.end);
            var $event = $('<div class="wc-cal-event ui-corner-all"></div>')
                .css({top: top + "px", height: height + "px", left: (part.left * 100) + "%", width: (part.width * 100) + "%"})
                .attr("title", time + " " + (ev.title || ""))
                .attr("data-event-id", ev.id);
            $('<div class="wc-time ui-corner-all"></div>').text(time).appendTo($event);
            $('<div class="wc-title"></div>').text(ev.title || "").appendTo($event);
            $event.data("calEvent", ev);
            $event = o.eventRender(ev, $event) || $event;
            $event.click(function (e) {
                e.preventDefault();
                if (self.dragged) {
                    return;
                }
                o.eventClick.call(self.element[0], ev, $(this));
            });
            column.append($event);
        }
    };

    $.fn.weekCalendar = function (optionsOrMethod) {
        var args = Array.prototype.slice.call(arguments, 1);
        return this.each(function () {
            var calendar = $.data(this, "weekCalendar");
            if (typeof optionsOrMethod === "string") {
                if (calendar && typeof calendar[optionsOrMethod] === "function" && optionsOrMethod.charAt(0) !== "_") {
                    calendar[optionsOrMethod].apply(calendar, args);
                }
            } else if (!calendar) {
                $.data(this, "weekCalendar", new WeekCalendar(this, optionsOrMethod));
            }
        });
    };
    $.fn.weekCalendar.defaults = defaults;
}(jQuery));
