// The client for ES modules: the CommonJS module's own functions and class,
// so that a HelperError is the same class whichever way a program loads it.
import client from './index.js';

export const { defaultBinary, defaultTimeout, HelperError, list, sign, documentCertificate, signDocument } = client;
export default client;
