// A refusal answered to the client: an HTTP status of 400 or more and a readable text. Paths throw
// it from wherever they find the fault, so that a check deep inside a helper needs no plumbing.

export class Refusal {
    constructor(status, message) {
        this.status = status;
        this.message = message;
    }
}

export const refuse = (status, message) => { throw new Refusal(status, message); };

/** What a client is told about a fault of ours; it never says more. */
export const internalFailure = () => new Refusal(500, 'The switchboard failed to handle the request');
