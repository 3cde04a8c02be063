// A task that never runs beside itself: asked again while it runs, it runs
// once more after it, however often it was asked meanwhile.

// TASK is an async function; a failure goes to ONERROR and ends no later run.
// The returned function asks for a run and resolves when the runs it caused are
// done.
export function serialized(task, onError = () => {}) {
    let running = null;
    let again = false;
    async function runUntilQuiet() {
        do {
            again = false;
            try {
                await task();
            } catch (error) {
                onError(error);
            }
        } while (again);
    }
    return () => {
        if (running) {
            again = true;
            return running;
        }
        running = runUntilQuiet().finally(() => {
            running = null;
        });
        return running;
    };
}
