// A refusal answered to the client: an HTTP status of 400 or more and a readable text. Paths throw
// it from wherever they find the fault, so that a check deep inside a helper needs no plumbing.

export class Refusal {
    /** `headers`: extra answer headers as a flat name/value list, such as a Retry-After. */
    constructor(status, message, headers = []) {
        this.status = status;
        this.message = message;
        this.headers = headers;
    }
}

export const refuse = (status, message, headers = []) => { throw new Refusal(status, message, headers); };

/** A refusal that says when to try again: in whole seconds, never less than one. */
export const refuseForNow = (status, message, waitMs) => {
    throw new Refusal(status, message, ['Retry-After', String(Math.max(1, Math.ceil(waitMs / 1000)))]);
};

/** What a client is told about a fault of ours; it never says more. */
export const internalFailure = () => new Refusal(500, 'The switchboard failed to handle the request');
