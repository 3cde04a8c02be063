// The snapshot tables: applications and processes, busiest first as the
// meter lists them until a column header sorts them.

import { formatBytes, formatRate } from "./format.js";

export const UNATTRIBUTED = "(unattributed)";
const UNATTRIBUTED_HELP = "Traffic no program could be found for: UDP (QUIC included), packet " +
    "headers, connections that opened and closed between two samples, and those whose process " +
    "had already ended.";

const bytes = value => formatBytes(value);
const rate = value => formatRate(value);

export const APP_COLUMNS = [
    { key: "app", label: "Application" },
    { key: "up", label: "Sent", format: bytes },
    { key: "down", label: "Received", format: bytes },
    { key: "up_rate", label: "Sending", format: rate },
    { key: "down_rate", label: "Receiving", format: rate },
];

export const PROCESS_COLUMNS = [
    { key: "pid", label: "PID", format: String },
    { key: "name", label: "Process" },
    { key: "app", label: "Application" },
    { key: "up", label: "Sent", format: bytes },
    { key: "down", label: "Received", format: bytes },
    { key: "up_rate", label: "Sending", format: rate },
    { key: "down_rate", label: "Receiving", format: rate },
];

// Numbers largest first, names in alphabetical order; the snapshot's order
// breaks ties.
export function sortRows(rows, column, descending) {
    const indexed = rows.map((row, index) => ({ row, index }));
    const numeric = Boolean(column.format);
    indexed.sort((a, b) => {
        const x = a.row[column.key];
        const y = b.row[column.key];
        let order = numeric ? (Number(x) || 0) - (Number(y) || 0)
            : String(x ?? "").localeCompare(String(y ?? ""));
        if (descending)
            order = -order;
        return order || a.index - b.index;
    });
    return indexed.map(entry => entry.row);
}

export class SnapshotTable {
    constructor(table, columns, emptyText) {
        this.table = table;
        this.columns = columns;
        this.emptyText = emptyText;
        this.rows = [];
        this.sort = null; // { column, descending }
        this.buildHead();
        this.body = table.createTBody();
    }

    buildHead() {
        const row = this.table.createTHead().insertRow();
        this.headers = this.columns.map(column => {
            const th = document.createElement("th");
            th.scope = "col";
            th.className = "pf-c-table__sort";
            th.setAttribute("aria-sort", "none");
            th.dataset.key = column.key;
            const button = document.createElement("button");
            button.type = "button";
            button.className = "pf-c-table__button";
            button.textContent = column.label;
            button.addEventListener("click", () => this.sortBy(column));
            th.appendChild(button);
            row.appendChild(th);
            return th;
        });
    }

    sortBy(column) {
        const same = this.sort?.column === column;
        // Numbers start largest first, names from A.
        const descending = same ? !this.sort.descending : Boolean(column.format);
        this.sort = { column, descending };
        this.headers.forEach((th, index) => {
            const sorted = this.columns[index] === column;
            th.classList.toggle("pf-m-selected", sorted);
            th.setAttribute("aria-sort", sorted ? (descending ? "descending" : "ascending") : "none");
        });
        this.render();
    }

    show(rows, message) {
        this.rows = Array.isArray(rows) ? rows : [];
        this.message = message;
        this.render();
    }

    render() {
        const rows = this.sort ? sortRows(this.rows, this.sort.column, this.sort.descending) : this.rows;
        const body = document.createElement("tbody");
        if (rows.length === 0) {
            const cell = body.insertRow().insertCell();
            cell.colSpan = this.columns.length;
            cell.className = "vx-empty";
            cell.textContent = this.message || this.emptyText;
        }
        for (const entry of rows) {
            const tr = body.insertRow();
            for (const column of this.columns) {
                const cell = tr.insertCell();
                cell.dataset.label = column.label;
                const value = entry[column.key];
                cell.textContent = column.format ? column.format(value) : String(value ?? "");
                if (value === UNATTRIBUTED) {
                    cell.title = UNATTRIBUTED_HELP;
                    cell.classList.add("vx-explained");
                }
            }
        }
        this.body.replaceWith(body);
        this.body = body;
    }
}
